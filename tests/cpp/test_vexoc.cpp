#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_cases.h"
#include "parsing/vexoc.h"

namespace tavroacq {
namespace {

using namespace tavroacq::testing;
using K = ParsingError::Kind;
using Settings = std::vector<std::pair<std::string, std::uint64_t>>;

constexpr std::uint16_t STOP = 0xFFFF;

// A chip segment with the default three header words (chip number in the top four bits of the
// first) and its window records.
Words chip(unsigned q, std::initializer_list<Words> records = {}) {
  Words w{static_cast<std::uint16_t>(q << 12), 0, 0};
  for (const auto& r : records) w.insert(w.end(), r.begin(), r.end());
  return w;
}
// A window record: header (channel within the chip in bits 8–9, label in bits 0–7), samples.
Words rec(unsigned channel, unsigned label, Words samples) {
  Words w{static_cast<std::uint16_t>((channel << 8) | label)};
  w.insert(w.end(), samples.begin(), samples.end());
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
  const Fields two_chips = [] {
    Fields f = one_channel(8, 0, {7, 8}, {1}, {0});
    f.data[5] = {9, 9};
    f.labels[5] = {0};
    f.time[0] = {0, 1};
    f.time[5] = {0, 1};
    return f;
  }();
  return {
      {"one segment", 8, 8, 2, {}, {0x1000, 0, 0, 0x0105, 10, 20, STOP}, one_channel(8, 5, {10, 20}, {5}, {0, 1})},
      {"last word is not examined", 8, 8, 2, {}, {0x1000, 0, 0, 0x0105, 10, 20, 0x1234},
       one_channel(8, 5, {10, 20}, {5}, {0, 1})},
      {"two segments", 8, 8, 2, {}, {0x0000, 0, 0, 0x0001, 7, 8, STOP, 0x1000, 0, 0, 0x0100, 9, 9, STOP}, two_chips},
      {"empty final segment", 8, 8, 2, {}, cat({chip(0, {rec(0, 1, {7, 8})}), {STOP, STOP}}), K::UnexpectedLength},
      {"empty segment between two", 8, 8, 2, {}, cat({chip(0), {STOP, STOP}, chip(1), {STOP}}), K::UnexpectedLength},
      {"empty first segment", 8, 8, 2, {}, cat({{STOP}, chip(0), {STOP}}), K::UnexpectedLength},
      {"segment of only chip headers", 8, 8, 2, {}, cat({chip(1), {STOP}, chip(0, {rec(0, 1, {7, 8})}), {STOP}}),
       one_channel(8, 0, {7, 8}, {1}, {0, 1})},
      {"segment shorter than its headers", 8, 8, 2, {}, {0x1000, 0, STOP}, K::UnexpectedLength},
      {"partial window record", 8, 8, 2, {}, cat({chip(0, {rec(0, 1, {7, 8}), {0x0001}}), {STOP}}),
       K::UnexpectedLength},
      {"sample masked, not inverted", 8, 8, 2, {}, cat({chip(0, {rec(0, 1, {0xF123, 0x0FFF})}), {STOP}}),
       one_channel(8, 0, {291, 4095}, {1}, {0, 1})},
      {"sample equal to the stop word splits the segment", 8, 8, 2, {}, cat({chip(0, {rec(0, 1, {STOP, 8})}), {STOP}}),
       K::UnexpectedLength},
      {"last channel of the last chip", 8, 8, 2, {}, cat({chip(1, {rec(3, 1, {1, 2})}), {STOP}}),
       one_channel(8, 7, {1, 2}, {1}, {0, 1})},
      {"channel plus base reaches C", 6, 8, 2, {}, cat({chip(1, {rec(3, 1, {1, 2})}), {STOP}}), K::InvalidChannel},
      {"chip beyond the channels", 8, 8, 2, {}, cat({chip(2, {rec(0, 1, {1, 2})}), {STOP}}), K::InvalidChannel},
      {"records of one channel in packet order, interleaved", 4, 8, 1, {{"num_chips", 1}},
       cat({chip(0, {rec(1, 6, {1}), rec(0, 2, {2}), rec(1, 7, {3}), rec(1, 0, {4})}), {STOP}}),
       Fields{{{2}, {1, 3, 4}, {}, {}}, {{2}, {6, 7, 0}, {}, {}}, {{0}, {0, 1, 2}, {}, {}}}},
      {"bad channel before a bad segment", 8, 8, 2, {},
       cat({chip(3, {rec(0, 1, {1, 2})}), {STOP, 0x1000, STOP}}), K::InvalidChannel},
      {"bad segment before a bad channel", 8, 8, 2, {},
       cat({{0x1000, STOP}, chip(3, {rec(0, 1, {1, 2})}), {STOP}}), K::UnexpectedLength},
      {"two window header words", 8, 8, 2, {{"n_window_headers", 2}},
       cat({chip(0, {{0x0102, 0xABCD, 5, 6}}), {STOP}}), one_channel(8, 1, {5, 6}, {2}, {0, 1})},
      {"no window header words: the header is also a sample", 8, 8, 2, {{"n_window_headers", 0}},
       cat({chip(0, {{0x0203, 6}}), {STOP}}), one_channel(8, 2, {0x203, 6}, {3}, {0, 1})},
      {"no chip header words: the chip word is also a record header", 8, 8, 1, {{"n_chip_headers", 0}},
       {0x1102, 9, STOP}, one_channel(8, 5, {9}, {2}, {0})},
      {"no chip header words: an empty segment is refused", 8, 8, 1, {{"n_chip_headers", 0}},
       {0x0102, 9, STOP, STOP, STOP}, K::UnexpectedLength},
      {"settings: masks, shift modulo 16, 16-bit stop word", 8, 8, 2,
       {{"chanmask", 0xC000}, {"chan_shift", 30}, {"windmask", 0x0F00}, {"databitmask", 0x100FF},
        {"chip_stop_word", 0x1AAAA}, {"num_chips", 4}},
       {0x1000, 0, 0, 0x4321, 0x1234, 0xFFFF, 0xAAAA}, one_channel(8, 3, {0x34, 0xFF}, {0x300}, {0, 1})},
      {"zero samples", 8, 8, 0, {}, cat({chip(0, {{0x0001}, {0x0102}}), {STOP}}),
       [] {
         Fields f = empty_fields(8);
         f.labels[0] = {1};
         f.labels[1] = {2};
         return f;
       }()},
      {"2-byte packet", 8, 8, 2, {}, {STOP}, K::UnexpectedLength},
      {"empty packet", 8, 8, 2, {}, {}, K::MissingData},
      // Settings outside the model.
      {"no chips", 8, 8, 2, {{"num_chips", 0}}, cat({chip(0, {rec(0, 1, {1, 2})}), {STOP}}), K::InvalidParameters},
      {"empty window record", 8, 8, 0, {{"n_window_headers", 0}}, cat({chip(0), {STOP}}), K::InvalidParameters},
      {"window record size overflows", 8, 8, 2, {{"n_window_headers", UINT64_MAX}}, cat({chip(0), {STOP}}),
       K::InvalidParameters},
      {"huge channel count", std::uint64_t{1} << 40, 8, 2, {}, cat({chip(0), {STOP}}), K::InvalidParameters},
      {"huge samples", 8, 8, std::uint64_t{1} << 40, {}, cat({chip(0, {rec(0, 1, {1, 2})}), {STOP}}),
       K::UnexpectedLength},
      {"huge chip header count", 8, 8, 2, {{"n_chip_headers", UINT64_MAX}}, cat({chip(0), {STOP}}),
       K::UnexpectedLength},
  };
}

TEST(Vexoc, Cases) {
  for (const auto& c : cases()) {
    const Params p = make_params("vexoc_vex", c.channels, c.windows, c.samples, c.settings);
    expect_outcome(ParseInto<VexocEvent>::parse_into(be_bytes(c.words), p), c.outcome, c.row);
  }
}

// Long segments: the stop word is found wherever it falls, and so is a sample equal to it.
TEST(Vexoc, StopWordAtEveryPosition) {
  const Params p = make_params("vexoc_vex", 8, 256, 2);
  for (unsigned k = 0; k < 70; ++k) {
    Words words = chip(0);
    std::vector<float> expected;
    for (unsigned r = 0; r < k; ++r) {
      const Words rw = rec(0, r % 256, {static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(r + 1000)});
      words.insert(words.end(), rw.begin(), rw.end());
      expected.push_back(static_cast<float>(r));
      expected.push_back(static_cast<float>(r + 1000));
    }
    words = cat({words, {STOP}, chip(1, {rec(1, 9, {5, 6})}), {STOP}});
    auto r = ParseInto<VexocEvent>::parse_into(be_bytes(words), p);
    ASSERT_TRUE(r) << k << " records";
    EXPECT_EQ(r->data[0], expected) << k << " records";
    EXPECT_EQ(r->data[5], (std::vector<float>{5, 6})) << k << " records";

    if (k == 0) continue;
    words[3 + 3 * (k - 1) + 2] = STOP;  // the last record's second sample
    auto bad = ParseInto<VexocEvent>::parse_into(be_bytes(words), p);
    ASSERT_FALSE(bad) << k << " records, stop word as a sample";
    EXPECT_EQ(bad.error(), K::UnexpectedLength) << k << " records, stop word as a sample";
  }
}

TEST(Vexoc, OddLengthFails) {
  auto bytes = be_bytes(cat({chip(0), {STOP}}));
  bytes.push_back(0);
  auto r = ParseInto<VexocEvent>::parse_into(bytes, make_params("vexoc_vex", 8, 8, 2));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), K::UnexpectedLength);
}

}  // namespace
}  // namespace tavroacq
