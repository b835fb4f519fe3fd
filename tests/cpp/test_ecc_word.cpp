#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "ecc/orra96.h"

namespace tavroacq::ecc {
namespace {

struct WordCase {
  std::uint16_t w;
  Syndrome syndrome;
  std::uint8_t parity;
  std::optional<WordCheck> check;
};

TEST(EccWord, SyndromeParityAndCheck) {
  const WordCase cases[] = {
      {0x0000, {0, 0, 0, 0}, 0, std::nullopt},
      {0x0001, {1, 1, 0, 0}, 1, WordCheck{0x0001, 0x0000, 0, 1}},
      {0x0400, {1, 0, 0, 0}, 1, WordCheck{0x0400, 0x0000, 10, 1}},
      {0x03FF, {0, 0, 0, 0}, 0, std::nullopt},
      {0x0003, {0, 1, 1, 0}, 0, WordCheck{0x0003, 0x0003, 2, 0}},  // double error: reported, kept
      {0x0101, {0, 1, 1, 1}, 0, WordCheck{0x0101, 0x0101, 9, 0}},
      {0xFFFF, {1, 1, 1, 1}, 0, WordCheck{0xFFFF, 0xFFFF, 15, 0}},
      {0x7FFF, {1, 1, 1, 1}, 1, WordCheck{0x7FFF, 0xFFFF, 15, 1}},  // position 15 inverts bit 15
      // Zero syndrome, odd parity: bit 14 or 15 flipped; bits 0-13 are intact and stay so.
      {0x4000, {0, 0, 0, 0}, 1, WordCheck{0x4000, 0x4000, 0, 1}},
      {0x8000, {0, 0, 0, 0}, 1, WordCheck{0x8000, 0x8000, 0, 1}},
      {0x43FF, {0, 0, 0, 0}, 1, WordCheck{0x43FF, 0x43FF, 0, 1}},
      {0xC000, {0, 0, 0, 0}, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "word 0x" << std::hex << c.w);
    EXPECT_EQ(syndrome(c.w), c.syndrome);
    EXPECT_EQ(global_parity(c.w), c.parity);
    EXPECT_EQ(check_word(c.w), c.check);
  }
}

TEST(EccWord, SyndromeToIndex) {
  const std::pair<Syndrome, std::optional<std::uint8_t>> cases[] = {
      {{0, 0, 0, 0}, std::nullopt}, {{1, 1, 1, 1}, 15},          {{0, 0, 0, 2}, std::nullopt},
      {{3, 0, 0, 0}, 0},            {{1, 0, 0, 0}, 10},          {{1, 1, 0, 0}, 0},
      {{0, 1, 0, 0}, 11},           {{0, 0, 0, 1}, 13},          {{0, 1, 1, 1}, 9},
      {{255, 255, 255, 255}, std::nullopt}, {{1, 0, 0, 1}, 4},   {{1, 0, 1, 0}, 1},
  };
  for (const auto& [s, index] : cases) {
    EXPECT_EQ(syndrome_to_index(s), index) << int(s[0]) << "," << int(s[1]) << "," << int(s[2]) << "," << int(s[3]);
  }
}

// Every valid code word (all 2^10 data values, each with both settings of the uncovered bits
// that keep the parity even): a flip of any one of bits 0-13 is corrected back, and a flip of
// bit 14 or 15 is reported without changing the word.
TEST(EccWord, EverySingleFlipOfEveryCodeWord) {
  std::vector<std::uint16_t> valid;
  for (unsigned w = 0; w <= 0xFFFF; ++w) {
    if (!check_word(static_cast<std::uint16_t>(w))) valid.push_back(static_cast<std::uint16_t>(w));
  }
  ASSERT_EQ(valid.size(), 2048u);
  std::vector<bool> data_seen(1024);
  for (std::uint16_t w : valid) {
    data_seen[w & 0x3FF] = true;
    for (unsigned bit = 0; bit < 16; ++bit) {
      const auto flipped = static_cast<std::uint16_t>(w ^ (1u << bit));
      const auto found = check_word(flipped);
      ASSERT_TRUE(found) << "word " << w << " bit " << bit;
      const WordCheck want = bit < 14 ? WordCheck{flipped, w, static_cast<std::uint8_t>(bit), 1}
                                      : WordCheck{flipped, flipped, 0, 1};
      ASSERT_EQ(*found, want) << "word " << w << " bit " << bit;
    }
  }
  EXPECT_EQ(std::count(data_seen.begin(), data_seen.end(), true), 1024);
}

// Both screening paths (AVX2 where the processor has it, and the portable one) agree with
// check_word on every 16-bit word, wherever it sits in a run, tails of runs that are not a
// multiple of the vector width included.
TEST(EccWord, ScreensAgreeWithCheckWord) {
  struct Path {
    const char* name;
    bool (*all_valid)(const std::uint8_t*, std::size_t);
    void (*codes)(const std::uint8_t*, std::size_t, std::uint8_t*);
  };
  const Path paths[] = {{"selected", all_words_valid, parity_codes},
                        {"portable", all_words_valid_portable, parity_codes_portable}};
  for (const auto& path : paths) {
    for (std::size_t count : {1u, 31u, 32u, 33u, 64u, 77u}) {
      std::vector<std::uint8_t> run(2 * count, 0);  // zero words are valid
      std::vector<std::uint8_t> codes(count);
      for (unsigned w = 0; w <= 0xFFFF; ++w) {
        const std::size_t at = w % count;
        run[2 * at] = static_cast<std::uint8_t>(w & 0xFF);
        run[2 * at + 1] = static_cast<std::uint8_t>(w >> 8);
        const auto word = static_cast<std::uint16_t>(w);
        ASSERT_EQ(path.all_valid(run.data(), count), !check_word(word).has_value())
            << path.name << ": word " << w << " in a run of " << count;
        path.codes(run.data(), count, codes.data());
        for (std::size_t k = 0; k < count; ++k) {
          ASSERT_EQ(codes[k], k == at ? parity_code(word) : 0) << path.name << ": word " << w << " at " << k;
        }
        run[2 * at] = run[2 * at + 1] = 0;
      }
    }
  }
}

}  // namespace
}  // namespace tavroacq::ecc
