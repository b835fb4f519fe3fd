// orra96 packets: one block per digitizer chip (a chip byte, one channel record per channel of
// the chip, footer bytes), then an event footer; always 96 channel entries.
#pragma once

#include <cstdint>

#include "parsing/channel_record.h"
#include "parsing/util.h"

namespace tavroacq {

namespace orra96 {

// The board's fixed number of channel entries, whatever Params.channels says.
inline constexpr std::size_t CHANNELS = 96;
// Room reserved in every inner sequence: a full event carries 4096 samples per channel.
inline constexpr std::size_t RESERVED = 4096;

// The constants of one parse, read from Params at the start of every call.
struct ParamsCache {
  std::uint64_t num_chips;
  std::uint64_t n_chip_headers;  // bytes
  std::uint64_t n_chip_footers;  // bytes
  std::uint64_t n_event_footers; // bytes
  channel_record::Rules record;
  std::uint64_t channels;
  std::uint64_t channels_per_chip;  // 0 when num_chips is 0 (refused)
  std::uint64_t block_bytes;        // saturated

  explicit ParamsCache(const Params& params);
};

}  // namespace orra96

template <>
std::expected<Orra96Event, ParsingError> ParseInto<Orra96Event>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
