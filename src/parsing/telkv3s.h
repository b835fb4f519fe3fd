// telkv3s packets: window-major blocks (a channel header word, then the channel's samples) whose
// channel and window counts are found from the packet length.
#pragma once

#include <cstdint>
#include <expected>

#include "parsing/length_layout.h"
#include "parsing/util.h"

namespace tavroacq {
namespace telkv3s {

// The parsing constants of one call: the block settings read from Params with this family's
// defaults (chanmask 0x03FF, chan_shift 8, windmask 0x00FF, datamask 0x1FFF, H = 3, T = 1,
// X = 0: extra words per window when cutting the packet, n_last_bits 0, n_channel_headers 1),
// n_window_footers, and the length table.
struct ParamsCache : length_layout::BlockSettings {
  std::uint64_t n_window_footers = 0;   // Y: extra words per window in the length table
  length_layout::LengthTable lengths;

  // InvalidParameters for settings that leave no layout: too many channels, or a block size
  // S + n_channel_headers that is zero or beyond 64 bits.
  static std::expected<ParamsCache, ParsingError> from(const Params& params);
};

}  // namespace telkv3s

template <>
std::expected<Telkv3SEvent, ParsingError> ParseInto<Telkv3SEvent>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
