#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_cases.h"
#include "parsing/telkv3.h"
#include "parsing/vexv2.h"

namespace tavroacq {
namespace {

using namespace tavroacq::testing;
using K = ParsingError::Kind;
using Settings = std::vector<std::pair<std::string, std::uint64_t>>;

// Default layout: channel in bits 9–10, label in bits 1–8, sample in bits 1–12. The noise bits
// lie outside the default masks, so a parser that forgets to mask gets other values.
std::uint16_t hdr(unsigned channel, unsigned label) {
  return static_cast<std::uint16_t>(0x8001 | (channel << 9) | (label << 1));
}
std::uint16_t smp(unsigned value) { return static_cast<std::uint16_t>(0xE001 | (value << 1)); }
// A window with the default one header word.
Words win(unsigned channel, unsigned label, Words samples) {
  Words w{hdr(channel, label)};
  for (auto s : samples) w.push_back(smp(s));
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
  const Words worked = {0xE0, 0xE1, 0xE2, 0x0202, 0x0002, 0x0004, 0x0404, 0x0006, 0x0008,
                        0x0206, 0xE00A, 0x000C, 0x0408, 0x000E, 0x0010, 0x1234};
  return {
      {"worked example", 4, 16, 2, {}, worked,
       Fields{{{}, {1, 2, 5, 6}, {3, 4, 7, 8}, {}}, {{}, {1, 3}, {2, 4}, {}}, {{}, {0, 1, 4, 5}, {0, 1, 4, 5}, {}}}},
      {"shifts are taken modulo 16", 4, 16, 2, {{"chan_shift", 25}, {"n_last_bits", 17}}, worked,
       Fields{{{}, {1, 2, 5, 6}, {3, 4, 7, 8}, {}}, {{}, {1, 3}, {2, 4}, {}}, {{}, {0, 1, 4, 5}, {0, 1, 4, 5}, {}}}},
      {"no windows: headers and trailing word only", 4, 16, 2, {}, packet({}), empty_fields(4)},
      {"empty packet", 4, 16, 2, {}, {}, K::MissingData},
      {"2-byte packet", 4, 16, 2, {}, {0x0202}, K::UnexpectedLength},
      {"2-byte packet without event headers", 4, 16, 2, {{"n_event_headers", 0}}, {0x0202}, K::UnexpectedLength},
      {"14 words is not 4 + 3F", 4, 16, 2, {}, fill(14, 0), K::UnexpectedLength},
      {"shorter than the event headers", 4, 16, 2, {{"n_event_headers", 5}}, fill(4, 0), K::UnexpectedLength},
      {"channels sorted, windows assigned by position", 4, 16, 2, {},
       packet({win(3, 1, {1, 2}), win(0, 1, {3, 4}), win(3, 2, {5, 6}), win(0, 2, {7, 8})}),
       Fields{{{1, 2, 5, 6}, {}, {}, {3, 4, 7, 8}}, {{1, 2}, {}, {}, {1, 2}}, {{0, 1, 2, 3}, {}, {}, {0, 1, 2, 3}}}},
      {"only the first C headers name channels", 2, 16, 2, {},
       packet({win(0, 1, {1, 2}), win(1, 1, {3, 4}), win(2, 2, {5, 6}), win(3, 2, {7, 8})}),
       Fields{{{1, 2, 5, 6}, {3, 4, 7, 8}}, {{1, 2}, {1, 2}}, {{0, 1, 2, 3}, {0, 1, 2, 3}}}},
      {"one channel found among many windows", 1, 16, 1, {},
       packet({win(0, 4, {1}), win(1, 5, {2}), win(0, 6, {3})}),
       Fields{{{1, 2, 3}}, {{4, 5, 6}}, {{0, 1, 2}}}},
      {"channel field at C in the first windows", 2, 16, 2, {},
       packet({win(0, 1, {1, 2}), win(3, 1, {3, 4})}), K::InvalidChannel},
      {"channel field at C beyond the first C windows is not looked at", 2, 16, 2, {},
       packet({win(0, 1, {1, 2}), win(1, 1, {3, 4}), win(3, 1, {5, 6})}),
       Fields{{{1, 2, 5, 6}, {3, 4}}, {{1, 1}, {1}}, {{0, 1, 0, 1}, {0, 1}}}},
      {"labels wrap at windows", 1, 8, 2, {}, packet({win(0, 7, {1, 2}), win(0, 0, {3, 4})}),
       Fields{{{1, 2, 3, 4}}, {{7, 0}}, {{0, 1, 2, 3}}}},
      {"two window headers: S + 1 values, S time values", 1, 8, 2, {{"n_window_headers", 2}},
       cat({fill(3), {hdr(0, 1), smp(9), smp(1), smp(2)}, {hdr(0, 2), smp(9), smp(3), smp(4)},
            {hdr(0, 3), smp(9), smp(5), smp(6)}, {0xEEEE}}),
       Fields{{{9, 1, 2, 9, 3, 4, 9, 5, 6}}, {{1, 2, 3}}, {{0, 1, 2, 3, 4, 5}}}},
      {"raw samples with a full mask and no shift", 1, 8, 2, {{"databitmask", 0xFFFF}, {"n_last_bits", 0}},
       packet({{0x0000, 0xFFFF, 0x8001}}), Fields{{{65535, 32769}}, {{0}}, {{0, 1}}}},
      {"16-bit settings keep their low bits", 1, 8, 2, {{"databitmask", 0x10000 + 0x00FF}, {"n_last_bits", 0}},
       packet({{0x0000, 0xFFFF, 0x1234}}), Fields{{{0xFF, 0x34}}, {{0}}, {{0, 1}}}},
      {"one trailing word fewer never fits the default windows", 1, 8, 2, {{"n_footers", 1}},
       packet({win(0, 1, {1, 2})}), K::UnexpectedLength},
      {"more event headers", 1, 8, 1, {{"n_event_headers", 5}},
       cat({fill(5), win(0, 1, {1}), win(0, 2, {2}), {0xEEEE}}), Fields{{{1, 2}}, {{1, 2}}, {{0, 1}}}},
      {"no event headers", 1, 8, 1, {{"n_event_headers", 0}}, cat({win(0, 1, {1}), {0xEEEE}}),
       Fields{{{1}}, {{1}}, {{0}}}},
      {"zero samples: labels only", 2, 8, 0, {},
       packet({{hdr(0, 1)}, {hdr(1, 3)}, {hdr(0, 2)}}), Fields{{{}, {}}, {{1, 2}, {3}}, {{}, {}}}},
      {"no channels", 0, 8, 2, {}, packet({win(0, 1, {1, 2})}), empty_fields(0)},
      // Settings that leave no layout.
      {"no trailing word count", 1, 8, 2, {{"n_footers", 0}}, packet({win(0, 1, {1, 2})}), K::InvalidParameters},
      {"samples + 1 overflows", 1, 8, UINT64_MAX, {}, packet({}), K::InvalidParameters},
      {"empty window", 1, 8, 0, {{"n_window_headers", 0}}, packet({}), K::InvalidParameters},
      {"window size overflows", 1, 8, 2, {{"n_window_headers", UINT64_MAX}}, packet({}), K::InvalidParameters},
      {"huge channel count", 1ull << 40, 8, 2, {}, packet({}), K::InvalidParameters},
      {"huge event header count", 1, 8, 2, {{"n_event_headers", UINT64_MAX}}, packet({}), K::UnexpectedLength},
      {"huge trailing count", 1, 8, 2, {{"n_footers", UINT64_MAX}}, packet({}), K::UnexpectedLength},
      {"huge samples", 1, 8, 1ull << 40, {}, fill(4), empty_fields(1)},
  };
}

TEST(Telkv3, Cases) {
  for (const auto& c : cases()) {
    const Params p = make_params("telkv3", c.channels, c.windows, c.samples, c.settings);
    const auto bytes = be_bytes(c.words);
    expect_outcome(ParseInto<Telkv3Event>::parse_into(bytes, p), c.outcome, c.row);
    // vexv2 is the same algorithm under its own record type: same fields, same errors.
    expect_outcome(ParseInto<Vexv2Event>::parse_into(bytes, p), c.outcome, "vexv2 " + c.row);
  }
}

TEST(Telkv3, OddLengthFails) {
  auto bytes = be_bytes(packet({win(0, 1, {1, 2})}));
  bytes.push_back(0);
  auto r = ParseInto<Telkv3Event>::parse_into(bytes, make_params("telkv3", 1, 8, 2));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), K::UnexpectedLength);
}

TEST(Telkv3, LargestChannelCountIsAccepted) {
  // Channel 69 in bits 9–15.
  auto r = ParseInto<Telkv3Event>::parse_into(be_bytes(packet({{0x8A02, smp(1), smp(2)}})),
                                              make_params("telkv3", MAX_CHANNELS, 8, 2, {{"chanmask", 0xFE00}}));
  ASSERT_TRUE(r);
  ASSERT_EQ(r->data.size(), MAX_CHANNELS);
  EXPECT_EQ(r->data[69], (std::vector<float>{1, 2}));
}

}  // namespace
}  // namespace tavroacq
