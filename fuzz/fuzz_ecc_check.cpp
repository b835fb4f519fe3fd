// Checks a whole raw orra96 buffer whose size and contents the fuzzer chooses. The first bytes
// pick a size around the layout's edges (accepted or not) or, with the top bit of the first byte
// set, any size up to a block past the largest layout; the rest, repeated, fills the buffer.
// Any crash, read past the buffer or undefined behaviour is a finding, and so is a result that
// does not match check_word on the word it names or is out of order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ecc/buffer_check.h"
#include "ecc/orra96.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavroacq::ecc;
  if (size < 3) return 0;
  // Size: k blocks (0 to 7) plus a signed offset of up to ±127 bytes around 131140 × k + 2.
  const std::uint64_t blocks = data[0] % 8;
  const auto delta = static_cast<std::int64_t>(static_cast<std::int8_t>(data[1]));
  const std::int64_t wanted = static_cast<std::int64_t>(blocks * BLOCK_BYTES + FOOTER_BYTES) + delta;
  std::size_t n = wanted < 0 ? static_cast<std::size_t>(data[2] % 2) : static_cast<std::size_t>(wanted);
  if (data[0] & 0x80) {
    const std::uint64_t any = (std::uint64_t{data[0] & 0x7Fu} << 16) | (std::uint64_t{data[1]} << 8) | data[2];
    n = static_cast<std::size_t>(any % ((MAX_BLOCKS + 1) * BLOCK_BYTES + FOOTER_BYTES + 1));
  }
  std::vector<std::uint8_t> buffer(n);
  const std::uint8_t* fill = data + 3;
  const std::size_t fill_size = size - 3;
  for (std::size_t i = 0; i < n; ++i) buffer[i] = fill_size ? fill[i % fill_size] : 0;

  const auto found = _ecc_check(buffer);
  if (!found) return 0;
  std::uint64_t last = 0;
  for (std::size_t k = 0; k < found->size(); ++k) {
    const WordError& e = (*found)[k];
    if (e.position + 1 >= n || (k > 0 && e.position <= last)) std::abort();
    const auto w = static_cast<std::uint16_t>(buffer[e.position] | (buffer[e.position + 1] << 8));
    const auto check = check_word(w);
    if (!check || *check != WordCheck{e.word, e.corrected, e.bit, e.correctable} || e.word != w) std::abort();
    last = e.position;
  }
  apply_corrections(buffer, *found);
  return 0;
}
