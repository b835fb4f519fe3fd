// Unsigned 64-bit arithmetic that sticks at the largest value instead of wrapping, for the
// packet-length formulas: a saturated length is longer than any packet and never matches one.
#pragma once

#include <cstdint>
#include <limits>

namespace tavroacq::saturating {

inline constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? MAX : r;
}

constexpr std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? MAX : r;
}

}  // namespace tavroacq::saturating
