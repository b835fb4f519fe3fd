#include "parsing/telkv3s.h"

namespace tavroacq {
namespace telkv3s {

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
  c.n_footer_words = uint_param(params, "n_footer_words", c.n_footer_words);
  c.n_window_headers = uint_param(params, "n_window_headers", c.n_window_headers);
  c.n_window_footers = uint_param(params, "n_window_footers", c.n_window_footers);
  c.n_last_bits = uint_param(params, "n_last_bits", c.n_last_bits);

  std::uint64_t block = 0;
  if (c.channels > MAX_CHANNELS || __builtin_add_overflow(c.samples, c.n_channel_headers, &block) || block == 0)
    return std::unexpected(ParsingError::Kind::InvalidParameters);
  c.lengths = {.channels = c.channels,
               .windows = c.windows,
               .block = block,
               .window_extra = c.n_window_footers,
               .overhead = c.n_event_headers + c.n_footer_words};
  return c;
}

}  // namespace telkv3s

template <>
std::expected<Telkv3SEvent, ParsingError> ParseInto<Telkv3SEvent>::parse_into(Packet packet, const Params& params) {
  using Kind = ParsingError::Kind;
  if (packet.empty()) return std::unexpected(Kind::MissingData);
  if (packet.size() % 2 != 0) return std::unexpected(Kind::UnexpectedLength);
  const auto cache = telkv3s::ParamsCache::from(params);
  if (!cache) return std::unexpected(cache.error());
  const telkv3s::ParamsCache& p = *cache;

  const auto layout = p.lengths.choose(packet.size(), p.n_event_headers, p.n_window_headers);
  if (!layout) return std::unexpected(Kind::UnexpectedLength);

  // The window region runs from word H to word N − T − 1.
  const std::uint64_t n_words = packet.size() / 2;
  const std::uint64_t h = p.n_event_headers;
  const std::uint64_t t = p.n_footer_words;
  if (h > n_words || t > n_words - h) return std::unexpected(Kind::UnexpectedLength);

  Telkv3SEvent record(layout->channels);
  const length_layout::BlockFormat format{
      .block = p.lengths.block,
      .window_pad = p.n_window_headers,
      .chanmask = p.chanmask,
      .chan_shift = static_cast<std::uint16_t>(p.chan_shift % 16),
      .windmask = p.windmask,
      .datamask = p.datamask,
      .last_bits = static_cast<std::uint16_t>(p.n_last_bits % 16),
  };
  if (auto read = length_layout::read_blocks(packet.data() + 2 * h, n_words - t - h, layout->channels, format, record);
      !read)
    return std::unexpected(read.error());
  // Fails with MissingData when the layout holds fewer channels than `channels`.
  if (auto axis = set_time_axis(record.time, record.window_labels, params); !axis) return std::unexpected(axis.error());
  return record;
}

}  // namespace tavroacq
