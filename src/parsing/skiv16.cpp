#include "parsing/skiv16.h"

#include "parsing/saturating.h"

namespace tavroacq {

namespace skiv16 {

ParamsCache::ParamsCache(const Params& params)
    : n_chip_headers(uint_param(params, "n_chip_headers", 1)),
      n_chip_footers(uint_param(params, "n_chip_footers", 2)),
      record(params),
      channels(params.channels),
      packet_bytes(saturating::add(saturating::add(n_chip_headers, n_chip_footers),
                                   saturating::mul(2, saturating::mul(channels, record.record_words)))) {}

}  // namespace skiv16

template <>
std::expected<Skiv16Event, ParsingError> ParseInto<Skiv16Event>::parse_into(Packet packet, const Params& params) {
  if (packet.empty()) return std::unexpected(ParsingError::Kind::MissingData);
  const skiv16::ParamsCache cache(params);
  if (auto ok = cache.record.check(); !ok) return std::unexpected(ok.error());
  // The length check also bounds `channels` by the packet: 2 × channels × R bytes lie in it.
  if (packet.size() != cache.packet_bytes) return std::unexpected(ParsingError::Kind::UnexpectedLength);

  Skiv16Event event(cache.channels);
  // The words start at byte 1 whatever n_chip_headers says; only whole records are read.
  const std::uint8_t* words = packet.data() + 1;
  const std::uint64_t record_bytes = saturating::mul(2, cache.record.record_words);
  const std::uint64_t records = (packet.size() - 1) / record_bytes;
  for (std::uint64_t m = 0; m < records; ++m) {
    const std::uint8_t* rec = words + m * record_bytes;
    const std::uint16_t c = cache.record.channel(le_word(rec));
    if (c >= cache.channels) return std::unexpected(ParsingError::Kind::InvalidChannel);
    channel_record::append_record(rec, cache.record, event.data[c], event.window_labels[c]);
  }
  if (auto ok = set_time_axis(event.time, event.window_labels, params); !ok) return std::unexpected(ok.error());
  return event;
}

}  // namespace tavroacq
