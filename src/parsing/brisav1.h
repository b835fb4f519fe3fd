// brisav1 packets: fixed-size sub-packets, each closed by a stop word, each carrying one window
// of one channel with its two-part timing value; the time axis comes from the timing values.
#pragma once

#include <cstdint>

#include "parsing/util.h"

namespace tavroacq {

namespace brisav1 {

inline constexpr std::uint16_t DEFAULT_STOP_WORD = 0xFA5A;

// The constants of one parse, read from Params at the start of every call.
struct ParamsCache {
  std::uint16_t chanmask;
  std::uint16_t abs_wind_mask;
  std::uint16_t timing_mask;
  std::uint32_t timing_shift;  // modulo 32
  std::uint64_t packet_size;   // bytes, without the stop word
  std::uint64_t headers;       // words before the samples
  std::uint16_t stop_word;
  std::uint64_t channels;
  std::uint64_t samples;
  std::uint64_t subpacket_words;  // packet_size / 2 + 1, the stop word included

  explicit ParamsCache(const Params& params);
};

// `stop_word` is written as a string of hexadecimal digits (an optional leading "+", no "0x");
// the word is the number modulo 65536. Anything else, or a number of 2^64 or more, gives the
// default.
std::uint16_t stop_word_param(const Params& params);

}  // namespace brisav1

template <>
std::expected<Brisav1Event, ParsingError> ParseInto<Brisav1Event>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
