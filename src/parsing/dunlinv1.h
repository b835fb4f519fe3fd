// dunlinv1 packets: fixed-size frames (header words with a group number, records of four
// channels, two trailing words) followed by two words; big-endian words taken whole.
#pragma once

#include <cstdint>

#include "parsing/util.h"

namespace tavroacq {

namespace dunlinv1 {

// The largest channel a record can name is its 16-bit channel word plus four times the 16-bit
// group number: no packet can fill an entry beyond these, so a larger count is refused.
inline constexpr std::uint64_t MAX_CHANNELS = 65535 + 4 * 65535 + 1;

// The constants of one parse, read from Params at the start of every call.
struct ParamsCache {
  std::uint64_t n_window_headers;  // words of a channel record besides its samples
  std::uint64_t n_event_headers;   // words at the start of a frame
  std::uint64_t n_footer_words;
  std::uint64_t channels;
  std::uint64_t windows;
  std::uint64_t samples;
  std::uint64_t record_words;  // R, saturated
  std::uint64_t frame_words;   // F, saturated

  explicit ParamsCache(const Params& params);
};

}  // namespace dunlinv1

template <>
std::expected<Dunlinv1Event, ParsingError> ParseInto<Dunlinv1Event>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
