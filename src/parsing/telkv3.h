// telkv3 packets: event headers, equal windows interleaved round-robin over the channels found
// in the first window headers, and a short footer. vexv2 packets are read the same way.
#pragma once

#include <cstdint>
#include <expected>

#include "parsing/util.h"

namespace tavroacq {
namespace telkv3 {

// The parsing constants of one call, read from Params with their defaults.
struct ParamsCache {
  std::uint64_t channels = 0;          // C
  std::uint64_t windows = 0;           // ring size, used by the time axis only
  std::uint64_t samples = 0;           // S
  std::uint16_t databitmask = 0x1FFF;
  std::uint16_t chanmask = 0x0600;
  std::uint16_t chan_shift = 9;        // used modulo 16
  std::uint16_t windmask = 0x01FE;
  std::uint64_t n_event_headers = 3;   // H
  std::uint64_t n_window_headers = 1;  // K
  std::uint64_t n_footers = 2;         // T: T − 1 words follow the last window
  std::uint64_t n_last_bits = 1;       // used modulo 16

  // InvalidParameters for settings that leave no layout: too many channels, S + 1 or S + K
  // beyond 64 bits, an empty window (S + K = 0), or T = 0 (the windows would end past the packet).
  static std::expected<ParamsCache, ParsingError> from(const Params& params);
};

}  // namespace telkv3

template <>
std::expected<Telkv3Event, ParsingError> ParseInto<Telkv3Event>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
