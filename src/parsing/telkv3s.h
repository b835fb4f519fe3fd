// telkv3s packets: window-major blocks (a channel header word, then the channel's samples) whose
// channel and window counts are found from the packet length.
#pragma once

#include <cstdint>
#include <expected>

#include "parsing/length_layout.h"
#include "parsing/util.h"

namespace tavroacq {
namespace telkv3s {

// The parsing constants of one call, read from Params with their defaults, and the length table.
struct ParamsCache {
  std::uint64_t channels = 0;           // C
  std::uint64_t windows = 0;            // Wn
  std::uint64_t samples = 0;            // S
  std::uint64_t n_channel_headers = 1;  // block size B = S + n_channel_headers
  std::uint16_t chanmask = 0x03FF;
  std::uint16_t chan_shift = 8;         // used modulo 16
  std::uint16_t windmask = 0x00FF;
  std::uint16_t datamask = 0x1FFF;
  std::uint64_t n_event_headers = 3;    // H
  std::uint64_t n_footer_words = 1;     // T
  std::uint64_t n_window_headers = 0;   // X: extra words per window when cutting the packet
  std::uint64_t n_window_footers = 0;   // Y: extra words per window in the length table
  std::uint64_t n_last_bits = 0;        // used modulo 16
  length_layout::LengthTable lengths;

  // InvalidParameters for settings that leave no layout: too many channels, or a block size
  // S + n_channel_headers that is zero or beyond 64 bits.
  static std::expected<ParamsCache, ParsingError> from(const Params& params);
};

}  // namespace telkv3s

template <>
std::expected<Telkv3SEvent, ParsingError> ParseInto<Telkv3SEvent>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
