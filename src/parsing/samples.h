// Sample words widened to 32-bit floats and appended to a channel: the conversion loops are
// plain element-wise arithmetic that the compiler vectorises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavroacq::samples {

// Appends ((NOT w) AND mask) of `count` little-endian words at `words` (skiv16, orra96).
void append_inverted_le(const std::uint8_t* words, std::size_t count, std::uint16_t mask, std::vector<float>& out);

// Appends `count` big-endian words at `words`, taken whole (brisav1, dunlinv1).
void append_be(const std::uint8_t* words, std::size_t count, std::vector<float>& out);

}  // namespace tavroacq::samples
