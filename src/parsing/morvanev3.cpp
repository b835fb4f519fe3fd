#include "parsing/morvanev3.h"

namespace tavroacq {
namespace morvanev3 {
namespace {

constexpr length_layout::BlockSettings DEFAULTS{
    .n_channel_headers = 1,
    .chanmask = 0x0C00,
    .chan_shift = 10,
    .windmask = 0x03FE,
    .datamask = 0x1FFF,
    .n_event_headers = 3,
    .n_footer_words = 2,
    .n_window_headers = 1,
    .n_last_bits = 1,
};

}  // namespace

std::expected<ParamsCache, ParsingError> ParamsCache::from(const Params& params) {
  ParamsCache c{length_layout::BlockSettings::read(params, DEFAULTS), {}};
  const auto block = c.block_size();
  if (!block || c.n_footer_words == 0) return std::unexpected(ParsingError::Kind::InvalidParameters);
  c.lengths = {.channels = c.channels, .windows = c.windows, .block = *block, .window_extra = 1, .overhead = 4};
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
  const auto layout = morvanev3::get_chan_winds(packet, *cache);
  if (!layout) return std::unexpected(Kind::UnexpectedLength);

  Morvanev3Event record(cache->channels);
  // The window region runs from word H to word N − T inclusive: T − 1 words follow it.
  if (auto read = length_layout::read_region(packet, *cache, cache->lengths.block, cache->n_footer_words - 1,
                                             layout->channels, record);
      !read)
    return std::unexpected(read.error());
  // The record has an entry per channel, so the time axis cannot miss one.
  if (auto axis = set_time_axis(record.time, record.window_labels, params); !axis) return std::unexpected(axis.error());
  return record;
}

}  // namespace tavroacq
