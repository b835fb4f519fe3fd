// The code applied to many words at once. The five parities of a word are linear in its bits, so
// they are the XOR of what its four nibbles contribute: where AVX2 is available, four 16-entry
// tables are looked up for 32 words at a time with byte shuffles; elsewhere the masked words are
// folded to their parities in a loop the compiler vectorises.
#include "ecc/orra96.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tavroacq::ecc {
namespace {

static_assert(std::endian::native == std::endian::little, "sample words are read as host words");

// Bits 0-13 sit at the positions whose table entries name them; bits 14 and 15 at none.
consteval bool positions_invert_table() {
  for (unsigned bit = 0; bit < 14; ++bit) {
    const unsigned p = parity_code(static_cast<std::uint16_t>(1u << bit)) & 0x0Fu;
    if (p == 0 || POSITION_TO_BIT[p - 1] != bit) return false;
  }
  return parity_code(0x4000) == 0x10 && parity_code(0x8000) == 0x10;
}
static_assert(positions_invert_table());

// The portable screen computes parity_code again, but in 16-bit arithmetic throughout
// (parity_code widens to unsigned), so that its loops can vectorise on 16-bit lanes. The tests
// compare it with parity_code on every word.
[[gnu::always_inline]] inline std::uint16_t fold(std::uint16_t x, int shift) {
  return static_cast<std::uint16_t>(x ^ (x >> shift));
}

[[gnu::always_inline]] inline std::uint16_t parity_of(std::uint16_t x) {
  return fold(fold(fold(fold(x, 8), 4), 2), 1) & 1u;
}

[[gnu::always_inline]] inline std::uint16_t folded_code(std::uint16_t w) {
  return static_cast<std::uint16_t>(parity_of(w & CHECK_MASKS[0]) | parity_of(w & CHECK_MASKS[1]) << 1 |
                                    parity_of(w & CHECK_MASKS[2]) << 2 | parity_of(w & CHECK_MASKS[3]) << 3 |
                                    parity_of(w) << 4);
}

std::uint16_t load_word(const std::uint8_t* p) {
  std::uint16_t w;
  std::memcpy(&w, p, 2);
  return w;
}

bool all_valid_folded(const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t acc = 0;
  for (std::size_t i = 0; i < count; ++i) acc |= folded_code(load_word(bytes + 2 * i));
  return acc == 0;
}

void codes_folded(const std::uint8_t* bytes, std::size_t count, std::uint8_t* codes) {
  for (std::size_t i = 0; i < count; ++i) codes[i] = static_cast<std::uint8_t>(folded_code(load_word(bytes + 2 * i)));
}

#if defined(__x86_64__)

template <unsigned Nibble>
constexpr std::array<std::uint8_t, 16> NIBBLE_CODES = [] {
  std::array<std::uint8_t, 16> table{};
  for (unsigned n = 0; n < 16; ++n) table[n] = parity_code(static_cast<std::uint16_t>(n << (4 * Nibble)));
  return table;
}();

struct ShuffleTables {
  __m256i nibble[4];
  __m256i low_byte;
  __m256i low_nibble;
};

[[gnu::target("avx2")]] inline __m256i broadcast(const std::array<std::uint8_t, 16>& t) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
}

[[gnu::target("avx2")]] inline ShuffleTables shuffle_tables() {
  return {{broadcast(NIBBLE_CODES<0>), broadcast(NIBBLE_CODES<1>), broadcast(NIBBLE_CODES<2>),
           broadcast(NIBBLE_CODES<3>)},
          _mm256_set1_epi16(0x00FF),
          _mm256_set1_epi8(0x0F)};
}

// Codes of the 32 words at p, lanes in the order packus leaves them (words 0-7, 16-23, 8-15,
// 24-31).
[[gnu::target("avx2")]] inline __m256i codes32(const ShuffleTables& t, const std::uint8_t* p) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  const __m256i lo = _mm256_packus_epi16(_mm256_and_si256(a, t.low_byte), _mm256_and_si256(b, t.low_byte));
  const __m256i hi = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
  const __m256i c0 = _mm256_shuffle_epi8(t.nibble[0], _mm256_and_si256(lo, t.low_nibble));
  const __m256i c1 = _mm256_shuffle_epi8(t.nibble[1], _mm256_and_si256(_mm256_srli_epi16(lo, 4), t.low_nibble));
  const __m256i c2 = _mm256_shuffle_epi8(t.nibble[2], _mm256_and_si256(hi, t.low_nibble));
  const __m256i c3 = _mm256_shuffle_epi8(t.nibble[3], _mm256_and_si256(_mm256_srli_epi16(hi, 4), t.low_nibble));
  return _mm256_xor_si256(_mm256_xor_si256(c0, c1), _mm256_xor_si256(c2, c3));
}

[[gnu::target("avx2")]] bool all_valid_avx2(const std::uint8_t* bytes, std::size_t count) {
  const ShuffleTables t = shuffle_tables();
  __m256i acc = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= count; i += 32) acc = _mm256_or_si256(acc, codes32(t, bytes + 2 * i));
  return _mm256_testz_si256(acc, acc) && all_valid_folded(bytes + 2 * i, count - i);
}

[[gnu::target("avx2")]] void codes_avx2(const std::uint8_t* bytes, std::size_t count, std::uint8_t* codes) {
  const ShuffleTables t = shuffle_tables();
  std::size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    const __m256i in_order = _mm256_permute4x64_epi64(codes32(t, bytes + 2 * i), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(codes + i), in_order);
  }
  codes_folded(bytes + 2 * i, count - i, codes + i);
}

bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#else

bool has_avx2() { return false; }
bool all_valid_avx2(const std::uint8_t* bytes, std::size_t count) { return all_valid_folded(bytes, count); }
void codes_avx2(const std::uint8_t* bytes, std::size_t count, std::uint8_t* codes) {
  codes_folded(bytes, count, codes);
}

#endif

const bool USE_AVX2 = has_avx2();

}  // namespace

bool all_words_valid_portable(const std::uint8_t* bytes, std::size_t count) {
  return all_valid_folded(bytes, count);
}

void parity_codes_portable(const std::uint8_t* bytes, std::size_t count, std::uint8_t* codes) {
  codes_folded(bytes, count, codes);
}

bool all_words_valid(const std::uint8_t* bytes, std::size_t count) {
  return USE_AVX2 ? all_valid_avx2(bytes, count) : all_valid_folded(bytes, count);
}

void parity_codes(const std::uint8_t* bytes, std::size_t count, std::uint8_t* codes) {
  if (USE_AVX2) {
    codes_avx2(bytes, count, codes);
  } else {
    codes_folded(bytes, count, codes);
  }
}

}  // namespace tavroacq::ecc
