#include "parsing/morvanev3.h"

namespace tavroacq {
namespace morvanev3 {

std::expected<ParamsCache, ParsingError> ParamsCache::from(const Params& params) {
  ParamsCache c;
  c.channels = params.channels;
  c.windows = params.windows;
  c.samples = params.samples;
  c.n_channel_headers = uint_param(params, "n_channel_headers", c.n_channel_headers);
  c.chanmask = static_cast<std::uint16_t>(uint_param(params, "chanmask", c.chanmask));
  c.chan_shift = static_cast<std::uint16_t>(uint_param(params, "chan_shift", c.chan_shift));
  c.windmask = static_cast<std::uint16_t>(uint_param(params, "windmask", c.windmask));
  c.datamask = static_cast<std::uint16_t>(uint_param(params, "datamask", c.datamask));
  c.n_event_headers = uint_param(params, "n_event_headers", c.n_event_headers);
  c.n_window_headers = uint_param(params, "n_window_headers", c.n_window_headers);
  c.n_footer_words = uint_param(params, "n_footer_words", c.n_footer_words);
  c.n_last_bits = uint_param(params, "n_last_bits", c.n_last_bits);

  std::uint64_t block = 0;
  if (c.channels > MAX_CHANNELS || __builtin_add_overflow(c.samples, c.n_channel_headers, &block) || block == 0 ||
      c.n_footer_words == 0)
    return std::unexpected(ParsingError::Kind::InvalidParameters);
  c.lengths = {.channels = c.channels, .windows = c.windows, .block = block, .window_extra = 1, .overhead = 4};
  return c;
}

std::optional<length_layout::Layout> get_chan_winds(Packet packet, const ParamsCache& cache) {
  return cache.lengths.choose(packet.size(), cache.n_event_headers, cache.n_window_headers);
}

}  // namespace morvanev3

template <>
std::expected<Morvanev3Event, ParsingError> ParseInto<Morvanev3Event>::parse_into(Packet packet,
                                                                                  const Params& params) {
  using Kind = ParsingError::Kind;
  if (packet.empty()) return std::unexpected(Kind::MissingData);
  if (packet.size() % 2 != 0) return std::unexpected(Kind::UnexpectedLength);
  const auto cache = morvanev3::ParamsCache::from(params);
  if (!cache) return std::unexpected(cache.error());
  const morvanev3::ParamsCache& p = *cache;

  const auto layout = morvanev3::get_chan_winds(packet, p);
  if (!layout) return std::unexpected(Kind::UnexpectedLength);

  // The window region runs from word H to word N − T inclusive.
  const std::uint64_t n_words = packet.size() / 2;
  const std::uint64_t h = p.n_event_headers;
  const std::uint64_t t = p.n_footer_words;
  if (h > n_words || t - 1 > n_words - h) return std::unexpected(Kind::UnexpectedLength);

  Morvanev3Event record(p.channels);
  const length_layout::BlockFormat format{
      .block = p.lengths.block,
      .window_pad = p.n_window_headers,
      .chanmask = p.chanmask,
      .chan_shift = static_cast<std::uint16_t>(p.chan_shift % 16),
      .windmask = p.windmask,
      .datamask = p.datamask,
      .last_bits = static_cast<std::uint16_t>(p.n_last_bits % 16),
  };
  if (auto read =
          length_layout::read_blocks(packet.data() + 2 * h, n_words - h - (t - 1), layout->channels, format, record);
      !read)
    return std::unexpected(read.error());
  // The record has an entry per channel, so the time axis cannot miss one.
  if (auto axis = set_time_axis(record.time, record.window_labels, params); !axis) return std::unexpected(axis.error());
  return record;
}

}  // namespace tavroacq
