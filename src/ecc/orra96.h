// The extended Hamming code that protects each 16-bit orra96 sample word: four check sums that
// locate a single flipped bit, and an overall parity that tells single errors from double ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tavroacq::ecc {

// Data bits 0-9 sit at Hamming positions 3, 5, 6, 7, 9-14; check bits 10-13 at 1, 2, 4, 8.
// Bits 14 and 15 are in no check sum and count only in the overall parity.
inline constexpr std::array<std::uint8_t, 15> POSITION_TO_BIT = {10, 11, 0, 12, 1, 2, 3, 13,
                                                                 4,  5,  6, 7, 8,  9, 15};

// Bits of the word summed by check sums s0 to s3.
inline constexpr std::array<std::uint16_t, 4> CHECK_MASKS = {0x055B, 0x0A6D, 0x138E, 0x23F0};

using Syndrome = std::array<std::uint8_t, 4>;

constexpr std::uint8_t parity16(std::uint16_t x) {
  unsigned v = x;
  v ^= v >> 8;
  v ^= v >> 4;
  v ^= v >> 2;
  v ^= v >> 1;
  return static_cast<std::uint8_t>(v & 1u);
}

constexpr Syndrome syndrome(std::uint16_t w) {
  return {parity16(w & CHECK_MASKS[0]), parity16(w & CHECK_MASKS[1]), parity16(w & CHECK_MASKS[2]),
          parity16(w & CHECK_MASKS[3])};
}

// Parity of all sixteen bits, bit 15 included.
constexpr std::uint8_t global_parity(std::uint16_t w) { return parity16(w); }

// The bit a syndrome points at. The four values are summed as given (not reduced to one bit),
// so a position outside 1-15 has no bit.
constexpr std::optional<std::uint8_t> syndrome_to_index(const Syndrome& s) {
  const unsigned p = s[0] + 2u * s[1] + 4u * s[2] + 8u * s[3];
  if (p < 1 || p > 15) return std::nullopt;
  return POSITION_TO_BIT[p - 1];
}

// The syndrome's position (bits 0-3) and the overall parity (bit 4) of a word, in one byte.
// Zero exactly for a valid code word.
constexpr std::uint8_t parity_code(std::uint16_t w) {
  const Syndrome s = syndrome(w);
  return static_cast<std::uint8_t>(s[0] | s[1] << 1 | s[2] << 2 | s[3] << 3 | global_parity(w) << 4);
}

// The finding on an erroneous word: `corrected` equals `word` when nothing was inverted.
struct WordCheck {
  std::uint16_t word;
  std::uint16_t corrected;
  std::uint8_t bit;
  std::uint8_t correctable;
  bool operator==(const WordCheck&) const = default;
};

// check_word for a word whose parity code is already known (the buffer check computes the codes
// of many words at once).
constexpr std::optional<WordCheck> check_word_with_code(std::uint16_t w, std::uint8_t code) {
  const unsigned p = code & 0x0Fu;
  const bool odd = (code & 0x10u) != 0;
  if (p == 0 && !odd) return std::nullopt;
  // Zero syndrome, odd parity: the flipped bit is 14 or 15, which no check sum covers. Bits 0-13
  // are intact, so the word is reported (bit 0, correctable) but not changed: inverting bit 0
  // would corrupt a good data bit.
  if (p == 0) return WordCheck{w, w, 0, 1};
  const std::uint8_t bit = POSITION_TO_BIT[p - 1];
  if (odd) return WordCheck{w, static_cast<std::uint16_t>(w ^ (1u << bit)), bit, 1};
  return WordCheck{w, w, bit, 0};  // two bits flipped: detected, not correctable
}

// Nothing for a valid code word (zero syndrome, even parity), else the finding.
constexpr std::optional<WordCheck> check_word(std::uint16_t w) { return check_word_with_code(w, parity_code(w)); }

// Whether each of the `count` little-endian words at `bytes` is a valid code word, screened
// with vector operations.
bool all_words_valid(const std::uint8_t* bytes, std::size_t count);

// parity_code of each of the `count` little-endian words at `bytes`, into `codes`.
void parity_codes(const std::uint8_t* bytes, std::size_t count, std::uint8_t* codes);

// The same two on the path taken by processors without AVX2 (both paths are tested).
bool all_words_valid_portable(const std::uint8_t* bytes, std::size_t count);
void parity_codes_portable(const std::uint8_t* bytes, std::size_t count, std::uint8_t* codes);

}  // namespace tavroacq::ecc
