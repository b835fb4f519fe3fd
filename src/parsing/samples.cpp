#include "parsing/samples.h"

#include <iterator>

#include "parsing/util.h"

namespace tavroacq::samples {
namespace {

// Walks sample words and yields each one converted. Handed to vector::insert it constructs the
// new floats in place, where resize would zero them first and double the stores; the copy
// loop inside insert vectorises at -O3.
template <class Convert>
struct Converted {
  using iterator_category = std::forward_iterator_tag;
  using value_type = float;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = float;

  const std::uint8_t* word;
  Convert convert;

  float operator*() const { return convert(word); }
  Converted& operator++() {
    word += 2;
    return *this;
  }
  Converted operator++(int) {
    Converted old = *this;
    word += 2;
    return old;
  }
  friend bool operator==(const Converted& a, const Converted& b) { return a.word == b.word; }
};

template <class Convert>
void append(const std::uint8_t* words, std::size_t count, std::vector<float>& out, Convert convert) {
  out.insert(out.end(), Converted<Convert>{words, convert}, Converted<Convert>{words + 2 * count, convert});
}

struct InvertedLe {
  std::uint16_t mask;
  float operator()(const std::uint8_t* w) const {
    return static_cast<float>(static_cast<std::uint16_t>(~le_word(w) & mask));
  }
};

struct WholeBe {
  float operator()(const std::uint8_t* w) const { return static_cast<float>(be_word(w)); }
};

}  // namespace

void append_inverted_le(const std::uint8_t* words, std::size_t count, std::uint16_t mask, std::vector<float>& out) {
  append(words, count, out, InvertedLe{mask});
}

void append_be(const std::uint8_t* words, std::size_t count, std::vector<float>& out) {
  append(words, count, out, WholeBe{});
}

}  // namespace tavroacq::samples
