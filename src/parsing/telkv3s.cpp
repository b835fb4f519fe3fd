#include "parsing/telkv3s.h"

namespace tavroacq {
namespace telkv3s {
namespace {

constexpr length_layout::BlockSettings DEFAULTS{
    .n_channel_headers = 1,
    .chanmask = 0x03FF,
    .chan_shift = 8,
    .windmask = 0x00FF,
    .datamask = 0x1FFF,
    .n_event_headers = 3,
    .n_footer_words = 1,
    .n_window_headers = 0,
    .n_last_bits = 0,
};

}  // namespace

std::expected<ParamsCache, ParsingError> ParamsCache::from(const Params& params) {
  ParamsCache c{length_layout::BlockSettings::read(params, DEFAULTS), uint_param(params, "n_window_footers", 0), {}};
  const auto block = c.block_size();
  if (!block) return std::unexpected(ParsingError::Kind::InvalidParameters);
  c.lengths = {.channels = c.channels,
               .windows = c.windows,
               .block = *block,
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
  const auto layout = cache->lengths.choose(packet.size(), cache->n_event_headers, cache->n_window_headers);
  if (!layout) return std::unexpected(Kind::UnexpectedLength);

  Telkv3SEvent record(layout->channels);
  // The window region runs from word H to word N − T − 1.
  if (auto read = length_layout::read_region(packet, *cache, cache->lengths.block, cache->n_footer_words,
                                             layout->channels, record);
      !read)
    return std::unexpected(read.error());
  // Fails with MissingData when the layout holds fewer channels than `channels`.
  if (auto axis = set_time_axis(record.time, record.window_labels, params); !axis) return std::unexpected(axis.error());
  return record;
}

}  // namespace tavroacq
