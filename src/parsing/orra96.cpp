#include "parsing/orra96.h"

#include "parsing/saturating.h"

namespace tavroacq {

namespace orra96 {

ParamsCache::ParamsCache(const Params& params)
    : num_chips(uint_param(params, "num_chips", 6)),
      n_chip_headers(uint_param(params, "n_chip_headers", 1)),
      n_chip_footers(uint_param(params, "n_chip_footers", 3)),
      n_event_footers(uint_param(params, "n_event_footers", 2)),
      record(params),
      channels(params.channels),
      channels_per_chip(num_chips == 0 ? 0 : channels / num_chips),
      block_bytes(saturating::add(saturating::add(n_chip_headers, n_chip_footers),
                                  saturating::mul(2, saturating::mul(channels_per_chip, record.record_words)))) {}

}  // namespace orra96

template <>
std::expected<Orra96Event, ParsingError> ParseInto<Orra96Event>::parse_into(Packet packet, const Params& params) {
  using orra96::CHANNELS;
  if (packet.empty()) return std::unexpected(ParsingError::Kind::MissingData);
  if (packet.size() % 2 != 0) return std::unexpected(ParsingError::Kind::UnexpectedLength);
  const orra96::ParamsCache cache(params);
  if (cache.num_chips == 0 || cache.block_bytes == 0) return std::unexpected(ParsingError::Kind::InvalidParameters);
  if (auto ok = cache.record.check(); !ok) return std::unexpected(ok.error());
  // A saturated block length matches only a packet that holds nothing but the event footer.
  if (packet.size() < cache.n_event_footers || (packet.size() - cache.n_event_footers) % cache.block_bytes != 0)
    return std::unexpected(ParsingError::Kind::UnexpectedLength);
  const std::uint64_t blocks = (packet.size() - cache.n_event_footers) / cache.block_bytes;

  Orra96Event event(CHANNELS);
  event.ecc_errors.emplace(CHANNELS);
  for (std::size_t c = 0; c < CHANNELS; ++c) {
    event.data[c].reserve(orra96::RESERVED);
    event.window_labels[c].reserve(orra96::RESERVED);
    event.time[c].reserve(orra96::RESERVED);
  }

  // With a block and a record in it, P × R did not saturate: the P records fill the block.
  const std::uint64_t record_bytes = saturating::mul(2, cache.record.record_words);
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const std::uint8_t* block = packet.data() + k * cache.block_bytes;
    // Byte 0 carries the chip number even when there are no chip header bytes.
    const auto base = static_cast<std::uint16_t>((block[0] & 0x3F) * cache.channels_per_chip);
    const std::uint8_t* rec = block + cache.n_chip_headers;
    for (std::uint64_t m = 0; m < cache.channels_per_chip; ++m, rec += record_bytes) {
      const auto c = static_cast<std::uint16_t>(cache.record.channel(le_word(rec)) + base);
      if (c >= CHANNELS) return std::unexpected(ParsingError::Kind::InvalidChannel);
      channel_record::append_record(rec, cache.record, event.data[c], event.window_labels[c]);
    }
  }
  // Over Params.channels: a count above 96 runs out of entries and fails with MissingData.
  if (auto ok = set_time_axis(event.time, event.window_labels, params); !ok) return std::unexpected(ok.error());
  return event;
}

}  // namespace tavroacq
