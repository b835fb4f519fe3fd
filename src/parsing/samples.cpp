#include "parsing/samples.h"

#include "parsing/util.h"

namespace tavroacq::samples {
namespace {

// A loop of a constant trip count is vectorised under -O2's cheap cost model too; the words
// beyond the last whole block go one by one.
constexpr std::size_t BLOCK = 16;

float* grow(std::vector<float>& out, std::size_t count) {
  const std::size_t old = out.size();
  out.resize(old + count);
  return out.data() + old;
}

inline float inverted_le(const std::uint8_t* w, std::uint16_t mask) {
  return static_cast<float>(static_cast<std::uint16_t>(~le_word(w) & mask));
}

inline float whole_be(const std::uint8_t* w) { return static_cast<float>(be_word(w)); }

}  // namespace

void append_inverted_le(const std::uint8_t* __restrict words, std::size_t count, std::uint16_t mask,
                        std::vector<float>& out) {
  float* __restrict dst = grow(out, count);
  std::size_t i = 0;
  for (; i + BLOCK <= count; i += BLOCK)
    for (std::size_t k = 0; k < BLOCK; ++k) dst[i + k] = inverted_le(words + 2 * (i + k), mask);
  for (; i < count; ++i) dst[i] = inverted_le(words + 2 * i, mask);
}

void append_be(const std::uint8_t* __restrict words, std::size_t count, std::vector<float>& out) {
  float* __restrict dst = grow(out, count);
  std::size_t i = 0;
  for (; i + BLOCK <= count; i += BLOCK)
    for (std::size_t k = 0; k < BLOCK; ++k) dst[i + k] = whole_be(words + 2 * (i + k));
  for (; i < count; ++i) dst[i] = whole_be(words + 2 * i);
}

}  // namespace tavroacq::samples
