#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_cases.h"
#include "parsing/telkv3s.h"

namespace tavroacq {
namespace {

using namespace tavroacq::testing;
using K = ParsingError::Kind;
using Settings = std::vector<std::pair<std::string, std::uint64_t>>;

// Default layout: channel in bits 8–9, label in bits 0–7, sample in bits 0–12; the noise bits
// lie outside the default masks.
std::uint16_t hdr(unsigned channel, unsigned label) {
  return static_cast<std::uint16_t>(0xFC00 | (channel << 8) | label);
}
std::uint16_t smp(unsigned value) { return static_cast<std::uint16_t>(0xE000 | value); }
// One channel block: header word, then the samples.
Words blk(unsigned channel, unsigned label, Words samples) {
  Words w{hdr(channel, label)};
  for (auto s : samples) w.push_back(smp(s));
  return w;
}
// 3 event header words, the blocks, 1 footer word (the defaults).
Words packet(std::initializer_list<Words> blocks) {
  Words w = fill(3);
  for (const auto& b : blocks) w.insert(w.end(), b.begin(), b.end());
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
  // Length table of the worked example (C = 2, Wn = 4, S = 2): 2·(3·n·u + 4) bytes, so 14 bytes
  // is (1, 1), 20 bytes is (2, 1) or (1, 2), 26 bytes (1, 3), 32 bytes (2, 2).
  return {
      {"worked example", 2, 4, 2, {}, {0xE0, 0xE1, 0xE2, 0x0005, 0x000A, 0x000B, 0x0105, 0x000C, 0x000D, 0xF0},
       Fields{{{10, 11}, {12, 13}}, {{5}, {5}}, {{0, 1}, {0, 1}}}},
      {"huge window count", 2, UINT64_MAX, 2, {},
       {0xE0, 0xE1, 0xE2, 0x0005, 0x000A, 0x000B, 0x0105, 0x000C, 0x000D, 0xF0},
       Fields{{{10, 11}, {12, 13}}, {{5}, {5}}, {{0, 1}, {0, 1}}}},
      {"huge samples", 2, 4, std::uint64_t{1} << 40, {}, packet({blk(0, 1, {1, 2})}), K::UnexpectedLength},
      {"worked example: one channel in three windows", 2, 4, 2, {},
       packet({blk(0, 1, {1, 2}), blk(0, 2, {3, 4}), blk(0, 3, {5, 6})}), K::MissingData},
      {"blocks appended window after window, time wraps at windows", 2, 8, 2, {},
       packet({blk(1, 6, {1, 2}), blk(0, 6, {3, 4}), blk(1, 0, {5, 6}), blk(0, 0, {7, 8})}),
       Fields{{{3, 4, 7, 8}, {1, 2, 5, 6}}, {{6, 0}, {6, 0}}, {{0, 1, 4, 5}, {0, 1, 4, 5}}}},
      {"block channel at the layout's count", 4, 4, 2, {}, packet({blk(0, 1, {1, 2}), blk(2, 1, {3, 4})}),
       K::InvalidChannel},
      {"tie: more channels do not fit, fewer are too few", 2, 4, 2, {{"n_window_headers", 2}},
       packet({blk(0, 1, {1, 2}), blk(0, 2, {3, 4})}), K::MissingData},
      {"tie: nothing fits", 2, 4, 2, {{"n_window_headers", 5}}, packet({blk(0, 1, {1, 2}), blk(1, 1, {3, 4})}),
       K::UnexpectedLength},
      {"window with Wn windows is not in the table", 1, 4, 2, {},
       packet({blk(0, 1, {1, 2}), blk(0, 2, {3, 4}), blk(0, 3, {5, 6}), blk(0, 0, {7, 8})}), K::UnexpectedLength},
      {"length not in the table", 2, 4, 2, {}, fill(8), K::UnexpectedLength},
      {"one window setting: empty table", 1, 1, 2, {}, packet({blk(0, 1, {1, 2})}), K::UnexpectedLength},
      {"no channels: empty table", 0, 4, 2, {}, packet({blk(0, 1, {1, 2})}), K::UnexpectedLength},
      {"empty packet", 2, 4, 2, {}, {}, K::MissingData},
      {"window footer word skipped", 2, 4, 2, {{"n_window_headers", 1}, {"n_window_footers", 1}},
       cat({fill(3), blk(1, 3, {1, 2}), blk(0, 3, {3, 4}), {0x0101}, blk(0, 4, {5, 6}), blk(1, 4, {7, 8}), {0x0101},
            {0xEEEE}}),
       Fields{{{3, 4, 5, 6}, {1, 2, 7, 8}}, {{3, 4}, {3, 4}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}}},
      {"window extra words as long as a block are read as one", 1, 4, 2,
       {{"n_window_headers", 3}, {"n_window_footers", 3}}, packet({blk(0, 1, {1, 2}), blk(0, 2, {3, 4})}),
       Fields{{{1, 2, 3, 4}}, {{1, 2}}, {{0, 1, 2, 3}}}},
      {"two channel header words: the second is a sample", 1, 4, 2, {{"n_channel_headers", 2}},
       packet({cat({{hdr(0, 1)}, {smp(9), smp(1), smp(2)}})}), Fields{{{9, 1, 2}}, {{1}}, {{0, 1}}}},
      {"masks, shifts modulo 16, 16-bit low bits", 1, 4, 2,
       {{"datamask", 0x10000 + 0x00FF}, {"windmask", 0x0FFF}, {"n_last_bits", 17}, {"chan_shift", 28},
        {"chanmask", 0xF000}},
       packet({{0x0ABC, 0xFF10, 0x1234}}), Fields{{{0x08, 0x1A}}, {{0x55E}}, {{0, 1}}}},
      {"zero samples: labels only", 2, 4, 0, {}, packet({{hdr(1, 7)}, {hdr(0, 8)}}),
       Fields{{{}, {}}, {{8}, {7}}, {{}, {}}}},
      {"key wraps at 2^64", 1, 4, 2, {{"n_window_footers", std::uint64_t{1} << 63}},
       packet({blk(0, 1, {1, 2}), blk(0, 2, {3, 4})}), Fields{{{1, 2, 3, 4}}, {{1, 2}}, {{0, 1, 2, 3}}}},
      {"footers beyond the packet", 1, 4, 2, {{"n_footer_words", UINT64_MAX}, {"n_window_footers", 1}},
       fill(6), K::UnexpectedLength},  // the 12-byte (1, 1) key, region negative
      // Settings that leave no layout.
      {"zero-sized blocks", 1, 4, 0, {{"n_channel_headers", 0}}, packet({{hdr(0, 1)}}), K::InvalidParameters},
      {"block size overflows", 1, 4, UINT64_MAX, {}, packet({{hdr(0, 1)}}), K::InvalidParameters},
      {"huge channel count", std::uint64_t{1} << 40, 4, 2, {}, packet({blk(0, 1, {1, 2})}), K::InvalidParameters},
  };
}

TEST(Telkv3S, Cases) {
  for (const auto& c : cases()) {
    const Params p = make_params("telkv3s", c.channels, c.windows, c.samples, c.settings);
    expect_outcome(ParseInto<Telkv3SEvent>::parse_into(be_bytes(c.words), p), c.outcome, c.row);
  }
}

TEST(Telkv3S, OddLengthFails) {
  auto bytes = be_bytes(packet({blk(0, 1, {1, 2})}));
  bytes.push_back(0);
  auto r = ParseInto<Telkv3SEvent>::parse_into(bytes, make_params("telkv3s", 1, 4, 2));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), K::UnexpectedLength);
}

}  // namespace
}  // namespace tavroacq
