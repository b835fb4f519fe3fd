// skiv16 packets: one header byte, one channel record per channel (little-endian words from
// byte 1), then footer bytes.
#pragma once

#include <cstdint>

#include "parsing/channel_record.h"
#include "parsing/util.h"

namespace tavroacq {

namespace skiv16 {

// The constants of one parse, read from Params at the start of every call.
struct ParamsCache {
  std::uint64_t n_chip_headers;  // enter only the expected length
  std::uint64_t n_chip_footers;
  channel_record::Rules record;
  std::uint64_t channels;
  std::uint64_t packet_bytes;  // expected packet length, saturated

  explicit ParamsCache(const Params& params);
};

}  // namespace skiv16

template <>
std::expected<Skiv16Event, ParsingError> ParseInto<Skiv16Event>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
