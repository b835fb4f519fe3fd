// vexoc packets: one segment per chip, separated by a stop word; a segment is chip header words
// followed by window records (a header word naming channel and label, then the samples).
#pragma once

#include <cstdint>
#include <expected>

#include "parsing/util.h"

namespace tavroacq {
namespace vexoc {

// The parsing constants of one call, read from Params with their defaults.
struct ParamsCache {
  std::uint64_t channels = 0;            // C
  std::uint64_t windows = 0;             // ring size, used by the time axis only
  std::uint64_t samples = 0;             // S
  std::uint64_t num_chips = 2;
  std::uint16_t databitmask = 0x0FFF;
  std::uint16_t chanmask = 0x0300;
  std::uint16_t chan_shift = 8;          // used modulo 16
  std::uint16_t windmask = 0x00FF;
  std::uint16_t chip_stop_word = 0xFFFF;
  std::uint64_t n_chip_headers = 3;
  std::uint64_t n_window_headers = 1;
  std::uint64_t channels_per_chip = 0;   // P = C div num_chips
  std::uint64_t record_words = 0;        // E = n_window_headers + S

  // InvalidParameters for settings outside the model: too many channels, no chips, or a window
  // record n_window_headers + S that is empty or beyond 64 bits.
  static std::expected<ParamsCache, ParsingError> from(const Params& params);
};

}  // namespace vexoc

template <>
std::expected<VexocEvent, ParsingError> ParseInto<VexocEvent>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
