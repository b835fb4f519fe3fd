// Sample words widened to 32-bit floats and appended to a channel: the conversion loops are
// plain element-wise arithmetic that the compiler vectorises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parsing/util.h"

namespace tavroacq::samples {

// Writes (w AND mask) >> shift of `count` big-endian words at `words` to `out` (the telkv3
// family, vexoc). Inline: it runs once per window, where a call costs as much as a short loop.
inline void write_masked_be(const std::uint8_t* words, std::size_t count, std::uint16_t mask, unsigned shift,
                            float* out) {
  for (std::size_t j = 0; j < count; ++j)
    out[j] = static_cast<float>(static_cast<std::uint16_t>(be_word(words + 2 * j) & mask) >> shift);
}

// Appends ((NOT w) AND mask) of `count` little-endian words at `words` (skiv16, orra96).
void append_inverted_le(const std::uint8_t* words, std::size_t count, std::uint16_t mask, std::vector<float>& out);

// Appends `count` big-endian words at `words`, taken whole (brisav1, dunlinv1).
void append_be(const std::uint8_t* words, std::size_t count, std::vector<float>& out);

}  // namespace tavroacq::samples
