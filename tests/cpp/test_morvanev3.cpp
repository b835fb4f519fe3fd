#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_cases.h"
#include "parsing/morvanev3.h"

namespace tavroacq {
namespace {

using namespace tavroacq::testing;
using K = ParsingError::Kind;
using Settings = std::vector<std::pair<std::string, std::uint64_t>>;

// Default layout: channel in bits 10–11, label in bits 1–9, sample in bits 1–12; the noise bits
// lie outside the default masks.
std::uint16_t hdr(unsigned channel, unsigned label) {
  return static_cast<std::uint16_t>(0xF001 | (channel << 10) | (label << 1));
}
std::uint16_t smp(unsigned value) { return static_cast<std::uint16_t>(0xE001 | (value << 1)); }
Words blk(unsigned channel, unsigned label, Words samples) {
  Words w{hdr(channel, label)};
  for (auto s : samples) w.push_back(smp(s));
  return w;
}
// A window: its blocks, then the one further word.
Words win(std::initializer_list<Words> blocks) {
  Words w;
  for (const auto& b : blocks) w.insert(w.end(), b.begin(), b.end());
  w.push_back(0x5A5A);
  return w;
}
// 3 event header words, the windows, 1 trailing word (the defaults).
Words packet(std::initializer_list<Words> windows) {
  Words w = fill(3);
  for (const auto& x : windows) w.insert(w.end(), x.begin(), x.end());
  w.push_back(0xEEEE);
  return w;
}

struct Case {
  std::string row;
  std::uint64_t channels, windows, samples;
  Settings settings;
  Words words;
  Outcome outcome;
};

std::vector<Case> cases() {
  // Length table with C = 2, Wn = 4, S = 2: 2·(u·(3n + 1) + 4) bytes: (1, 1) 16, (2, 1) 22, (1, 2) 24,
  // (2, 2) 36, (1, 3) 32, (2, 3) 50.
  return {
      {"worked example: channel 3 of 2", 2, 4, 2, {},
       {0xE0, 0xE1, 0xE2, 0x0402, 0x0002, 0x0004, 0x0C04, 0x0006, 0x0008, 0x5A5A, 0xEEEE}, K::InvalidChannel},
      {"worked example", 2, 4, 2, {},
       {0xE0, 0xE1, 0xE2, 0x0402, 0x0002, 0x0004, 0x0004, 0x0006, 0x0008, 0x5A5A, 0xEEEE},
       Fields{{{3, 4}, {1, 2}}, {{2}, {1}}, {{0, 1}, {0, 1}}}},
      {"channel between the layout's count and C is kept", 4, 4, 2, {}, packet({win({blk(3, 5, {1, 2})})}),
       one_channel(4, 3, {1, 2}, {5}, {0, 1})},
      {"tie: more channels first; blocks appended window after window", 2, 8, 2, {},
       packet({win({blk(0, 6, {1, 2}), blk(1, 1, {3, 4})}), win({blk(0, 7, {5, 6}), blk(1, 2, {7, 8})}),
               win({blk(0, 0, {9, 10}), blk(1, 3, {11, 12})}), win({blk(1, 4, {13, 14}), blk(0, 1, {15, 16})})}),
       Fields{{{1, 2, 5, 6, 9, 10, 15, 16}, {3, 4, 7, 8, 11, 12, 13, 14}},
              {{6, 7, 0, 1}, {1, 2, 3, 4}},
              {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}}}},
      {"one window setting: empty table", 1, 1, 2, {}, packet({win({blk(0, 1, {1, 2})})}), K::UnexpectedLength},
      {"no channels: empty table", 0, 4, 2, {}, packet({win({blk(0, 1, {1, 2})})}), K::UnexpectedLength},
      {"window count Wn is not in the table", 1, 3, 2, {},
       packet({win({blk(0, 1, {1, 2})}), win({blk(0, 2, {3, 4})}), win({blk(0, 3, {5, 6})})}), K::UnexpectedLength},
      {"no trailing word: the table still counts it", 2, 4, 2, {{"n_footer_words", 1}},
       cat({fill(3), win({blk(0, 1, {1, 2}), blk(1, 1, {3, 4})})}), K::UnexpectedLength},
      {"fewer event headers move the region, not the table", 1, 4, 2, {{"n_event_headers", 2}, {"n_footer_words", 3}},
       cat({fill(2), win({blk(0, 1, {1, 2})}), fill(2)}), one_channel(1, 0, {1, 2}, {1}, {0, 1})},
      {"raw samples, shifts modulo 16", 1, 4, 2, {{"datamask", 0xFFFF}, {"n_last_bits", 16}, {"chan_shift", 26}},
       packet({win({{0x0006, 0xFFFF, 0x8001}})}), one_channel(1, 0, {65535, 32769}, {6}, {0, 1})},
      {"16-bit settings keep their low bits", 1, 4, 2, {{"datamask", 0x10000 + 0x0F}, {"n_last_bits", 0}},
       packet({win({{0x0000, 0xFFFF, 0x1234}})}), one_channel(1, 0, {0x0F, 0x04}, {0}, {0, 1})},
      {"length not in the table", 2, 4, 2, {}, fill(10), K::UnexpectedLength},
      {"empty packet", 2, 4, 2, {}, {}, K::MissingData},
      {"event headers beyond the packet", 1, 4, 2, {{"n_event_headers", UINT64_MAX}},
       packet({win({blk(0, 1, {1, 2})})}), K::UnexpectedLength},
      // Settings that leave no layout.
      {"no trailing word count", 1, 4, 2, {{"n_footer_words", 0}}, packet({win({blk(0, 1, {1, 2})})}),
       K::InvalidParameters},
      {"zero-sized blocks", 1, 4, 0, {{"n_channel_headers", 0}}, packet({win({})}), K::InvalidParameters},
      {"block size overflows", 1, 4, 2, {{"n_channel_headers", UINT64_MAX}}, packet({win({})}), K::InvalidParameters},
      {"huge channel count", std::uint64_t{1} << 40, 4, 2, {}, packet({win({blk(0, 1, {1, 2})})}),
       K::InvalidParameters},
  };
}

TEST(Morvanev3, Cases) {
  for (const auto& c : cases()) {
    const Params p = make_params("morvanev3", c.channels, c.windows, c.samples, c.settings);
    expect_outcome(ParseInto<Morvanev3Event>::parse_into(be_bytes(c.words), p), c.outcome, c.row);
  }
}

TEST(Morvanev3, OddLengthFails) {
  auto bytes = be_bytes(packet({win({blk(0, 1, {1, 2})})}));
  bytes.push_back(0);
  auto r = ParseInto<Morvanev3Event>::parse_into(bytes, make_params("morvanev3", 1, 4, 2));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), K::UnexpectedLength);
}

TEST(Morvanev3, GetChanWinds) {
  const auto cache = morvanev3::ParamsCache::from(make_params("morvanev3", 2, 8, 2));
  ASSERT_TRUE(cache);
  const struct {
    std::size_t bytes;
    std::optional<length_layout::Layout> expected;
  } cases[] = {{16, length_layout::Layout{1, 1}}, {22, length_layout::Layout{2, 1}},
               {64, length_layout::Layout{2, 4}}, {18, std::nullopt}};
  for (const auto& c : cases) {
    const std::vector<std::uint8_t> bytes(c.bytes, 0);
    EXPECT_EQ(morvanev3::get_chan_winds(bytes, *cache), c.expected) << c.bytes << " bytes";
  }
}

}  // namespace
}  // namespace tavroacq
