#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "parser_cases.h"
#include "parsing/brisav1.h"

namespace tavroacq {
namespace {

using Words = std::vector<std::uint16_t>;
using Bytes = std::vector<std::uint8_t>;
using K = ParsingError::Kind;

Bytes be_bytes(const Words& words) {
  Bytes out;
  for (std::uint16_t w : words) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w));
  }
  return out;
}

// One sub-packet of `size` words: channel, timing high and low parts, label, samples, zero
// padding and the stop word.
Words sub(std::uint16_t ch, std::uint16_t th, std::uint16_t tl, std::uint16_t label, const Words& samples,
          std::size_t size = 37, std::uint16_t stop = 0xFA5A) {
  Words w{ch, th, tl, label};
  w.insert(w.end(), samples.begin(), samples.end());
  w.resize(size - 1, 0);
  w.push_back(stop);
  return w;
}

Bytes packet(std::initializer_list<Words> parts) {
  Words all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return be_bytes(all);
}

using testing::Additional;

Params params(std::uint64_t channels, std::uint64_t samples, Additional additional = {}) {
  return testing::make_params("brisav2_eval", channels, 64, samples, std::move(additional));
}

YamlValue u(std::uint64_t v) { return YamlValue::of_uint(v); }
YamlValue s(std::string v) { return YamlValue::of_string(std::move(v)); }

std::expected<Brisav1Event, ParsingError> parse(const Bytes& bytes, const Params& p) {
  return ParseInto<Brisav1Event>::parse_into(bytes, p);
}

struct Expected {
  std::vector<std::vector<float>> data;
  std::vector<std::vector<std::uint16_t>> labels;
  std::vector<std::vector<std::uint16_t>> time;
  std::vector<std::vector<std::uint32_t>> timing;
};

TEST(Brisav1, Records) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    Expected want;
  };
  const Row rows[] = {
      {"worked example",
       params(2, 2),
       packet({sub(1, 0, 5, 7, {10, 11}), sub(0, 0, 3, 2, {5, 6}), sub(1, 0, 6, 8, {12, 13})}),
       {{{5, 6}, {10, 11, 12, 13}}, {{2}, {7, 8}}, {{0, 1}, {4, 5, 6, 7}}, {{3}, {5, 6}}}},
      {"masked channel and label, an extra header word, skipped all-zero and dropped segments",
       params(2, 2, {{"headers", u(5)}}),
       packet({Words{1, 0xFA5A},                                  // too short: dropped
               sub(0, 0, 0, 5, {0, 0, 0}),                        // all-zero samples: skipped
               sub(0x41, 1, 2, 0x47, {9, 0xFFFF, 0}),             // word 4 is the extra header
               Words{3, 3}}),                                     // after the last stop word
       {{{}, {65535, 0}}, {{}, {7}}, {{}, {0, 1}}, {{}, {4098}}}},
      {"timing mask and shift (44 is 12)",
       params(2, 2, {{"timing_mask", u(0xFF)}, {"timing_shift", u(44)}}),
       packet({sub(0, 0, 0x105, 0, {1, 1}), sub(1, 0x101, 0, 0, {2, 2})}),
       {{{1, 1}, {2, 2}}, {{0}, {0}}, {{0, 1}, {8182, 8183}}, {{5}, {4096}}}},
      {"a run that would pass 65535 is empty",
       params(2, 2),
       packet({sub(0, 0, 0, 0, {1, 1}), sub(1, 7, 0xFFF, 1, {2, 2}), sub(1, 8, 0, 2, {3, 3})}),
       {{{1, 1}, {2, 2, 3, 3}}, {{0}, {1, 2}}, {{0, 1}, {}}, {{0}, {32767, 32768}}}},
      {"stop word and sub-packet size from the settings",
       params(1, 2, {{"stop_word", s("+1234")}, {"packet_size", u(13)}}),
       packet({sub(0, 0, 9, 3, {4, 0}, 7, 0x1234), sub(0, 0, 10, 4, {5, 0}, 7, 0xFA5A), Words{0x1234}}),
       {{{4, 0}}, {{3}}, {{0, 1}}, {{9}}}},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_TRUE(got.has_value()) << row.name << ": " << got.error().message();
    EXPECT_EQ(got->data, row.want.data) << row.name;
    EXPECT_EQ(got->window_labels, row.want.labels) << row.name;
    EXPECT_EQ(got->time, row.want.time) << row.name;
    ASSERT_TRUE(got->timing.has_value()) << row.name;
    EXPECT_EQ(*got->timing, row.want.timing) << row.name;
    EXPECT_FALSE(got->ecc_errors.has_value()) << row.name;
  }
}

TEST(Brisav1, Failures) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    K want;
  };
  const Bytes good = packet({sub(0, 0, 0, 0, {1, 2})});
  Bytes odd = good;
  odd.push_back(0);
  const Row rows[] = {
      {"odd length", params(1, 2), odd, K::UnexpectedLength},
      {"empty packet", params(1, 2), {}, K::EmptyPackage},
      {"no stop word", params(1, 2), packet({Words(37, 1)}), K::EmptyPackage},
      {"segments one word short and one long",
       params(1, 2), packet({sub(0, 0, 0, 0, {1}, 36), sub(0, 0, 0, 0, {1}, 38)}), K::EmptyPackage},
      {"two segments that together span P words",
       params(1, 2), packet({sub(0, 0, 0, 0, {1, 2}, 10), sub(0, 0, 0, 0, {1, 2}, 27)}), K::EmptyPackage},
      {"channel at the channel count", params(2, 2), packet({sub(2, 0, 0, 0, {1, 2})}), K::InvalidChannel},
      {"only all-zero samples", params(1, 2), packet({sub(0, 0, 1, 0, {0, 0})}), K::MissingData},
      {"no samples per window", params(1, 0), good, K::MissingData},
      {"header words beyond the sub-packet: nothing to look at",
       params(1, 2, {{"headers", u(40)}}), good, K::MissingData},
      {"samples beyond the sub-packet", params(1, 40), good, K::InvalidParameters},
      {"sub-packet too short for the header words",
       params(1, 1, {{"packet_size", u(4)}, {"headers", u(0)}}), packet({Words{5, 0, 0xFA5A}}),
       K::InvalidParameters},
      {"more channels than 16-bit channel numbers can name", params(65537, 2), good, K::InvalidParameters},
      {"a huge channel count and no sub-packet", params(std::uint64_t{1} << 40, 2), {}, K::EmptyPackage},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_FALSE(got.has_value()) << row.name;
    EXPECT_EQ(got.error().kind, row.want) << row.name << ": " << got.error().message();
  }
  // The largest channel count that 16-bit channel numbers can use is accepted.
  auto wide = parse(packet({sub(0xFFFF, 0, 0, 0, {1, 2})}), params(65536, 2, {{"chanmask", u(0xFFFF)}}));
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->data.size(), 65536u);
  EXPECT_EQ(wide->data[65535], (std::vector<float>{1, 2}));
}

TEST(Brisav1, StopWordSetting) {
  const std::pair<YamlValue, std::uint16_t> rows[] = {
      {s("FA5A"), 0xFA5A},
      {s("beef"), 0xBEEF},
      {s("+BeEf"), 0xBEEF},
      {s("1234A"), 0x234A},
      {s("FFFFFFFFFFFFFFFF"), 0xFFFF},
      {s("000000000000000000001234"), 0x1234},
      {s("0"), 0x0000},
      {s("0x1234"), 0xFA5A},
      {s("10000000000000000"), 0xFA5A},  // 2^64
      {s(""), 0xFA5A},
      {s("+"), 0xFA5A},
      {s("-"), 0xFA5A},
      {s("-12"), 0xFA5A},
      {s("12 "), 0xFA5A},
      {s("g1"), 0xFA5A},
      {u(0x1234), 0xFA5A},
  };
  for (const auto& [value, want] : rows) {
    const auto got = brisav1::stop_word_param(params(1, 1, {{"stop_word", value}}));
    EXPECT_EQ(got, want) << (value.kind == YamlValue::Kind::String ? value.text : std::to_string(value.uint));
  }
  EXPECT_EQ(brisav1::stop_word_param(params(1, 1)), 0xFA5A);
}

TEST(Brisav1, ParamsCacheKeysWidthsAndDefaults) {
  const brisav1::ParamsCache d(params(3, 5));
  EXPECT_EQ(d.chanmask, 0x3F);
  EXPECT_EQ(d.abs_wind_mask, 0x3F);
  EXPECT_EQ(d.timing_mask, 0xFFF);
  EXPECT_EQ(d.timing_shift, 12u);
  EXPECT_EQ(d.packet_size, 72u);
  EXPECT_EQ(d.headers, 4u);
  EXPECT_EQ(d.stop_word, 0xFA5A);
  EXPECT_EQ(d.subpacket_words, 37u);
  EXPECT_EQ(d.channels, 3u);
  EXPECT_EQ(d.samples, 5u);

  const std::uint64_t big = std::uint64_t{1} << 40;
  const brisav1::ParamsCache c(params(3, 5, {{"chanmask", u(0x10001)}, {"abs_wind_mask", u(0x30007)}, {"timing_mask", u(0x1000F)},
                                             {"timing_shift", u(33)}, {"packet_size", u(big + 1)}, {"headers", u(big)},
                                             {"stop_word", s("beef")}}));
  EXPECT_EQ(c.chanmask, 1);
  EXPECT_EQ(c.abs_wind_mask, 7);
  EXPECT_EQ(c.timing_mask, 15);
  EXPECT_EQ(c.timing_shift, 1u);
  EXPECT_EQ(c.packet_size, big + 1);
  EXPECT_EQ(c.subpacket_words, big / 2 + 1);
  EXPECT_EQ(c.headers, big);
  EXPECT_EQ(c.stop_word, 0xBEEF);

  const brisav1::ParamsCache bad(params(3, 5, {{"chanmask", s("7")}, {"headers", YamlValue{}}}));
  EXPECT_EQ(bad.chanmask, 0x3F);
  EXPECT_EQ(bad.headers, 4u);
}

TEST(Brisav1, EveryModelStringGivesTheSameRecord) {
  const Bytes bytes = packet({sub(1, 0, 5, 7, {10, 11}), sub(0, 0, 3, 2, {5, 6})});
  Params p = params(2, 2);
  const auto direct = parse(bytes, p);
  ASSERT_TRUE(direct.has_value());
  for (const char* model : {"brisav2_eval", "brisav1_evalr2", "brisav2_evalr1", "brisav2_evalr2"}) {
    p.model = model;
    auto got = parse_event(bytes, p);
    ASSERT_TRUE(got.has_value()) << model;
    EXPECT_EQ(got->data, direct->data) << model;
    EXPECT_EQ(got->window_labels, direct->window_labels) << model;
    EXPECT_EQ(got->time, direct->time) << model;
    EXPECT_EQ(got->timing, direct->timing) << model;
    EXPECT_FALSE(got->ecc_errors.has_value()) << model;
  }
  p.model = "brisav1";
  ASSERT_FALSE(parse_event(bytes, p).has_value());
  EXPECT_EQ(parse_event(bytes, p).error().kind, K::UnsupportedBoardModel);
}

}  // namespace
}  // namespace tavroacq
