#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "parser_cases.h"
#include "parsing/skiv16.h"

namespace tavroacq {
namespace {

using Words = std::vector<std::uint16_t>;
using Bytes = std::vector<std::uint8_t>;
using K = ParsingError::Kind;

// The stored word of sample value v: its complement.
constexpr std::uint16_t inv(std::uint16_t v) { return static_cast<std::uint16_t>(~v); }

// A channel record: header word, sample words, then `footers` zero words.
Words record(std::uint16_t header, Words samples, std::size_t footers = 1) {
  Words w{header};
  w.insert(w.end(), samples.begin(), samples.end());
  w.resize(w.size() + footers, 0);
  return w;
}

// Header bytes, the records as little-endian words, footer bytes.
Bytes packet(const std::vector<Words>& records, std::size_t header_bytes = 1, std::size_t footer_bytes = 2) {
  Bytes out(header_bytes, 0xEE);
  for (const auto& r : records)
    for (std::uint16_t w : r) {
      out.push_back(static_cast<std::uint8_t>(w));
      out.push_back(static_cast<std::uint8_t>(w >> 8));
    }
  out.resize(out.size() + footer_bytes, 0xEE);
  return out;
}

using testing::Additional;

Params params(std::uint64_t channels, std::uint64_t windows, std::uint64_t samples, Additional additional = {}) {
  return testing::make_params("skiv16", channels, windows, samples, std::move(additional));
}

YamlValue u(std::uint64_t v) { return YamlValue::of_uint(v); }

std::expected<Skiv16Event, ParsingError> parse(const Bytes& bytes, const Params& p) {
  return ParseInto<Skiv16Event>::parse_into(bytes, p);
}

struct Expected {
  std::vector<std::vector<float>> data;
  std::vector<std::vector<std::uint16_t>> labels;
  std::vector<std::vector<std::uint16_t>> time;
};

TEST(Skiv16, Records) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    Expected want;
  };
  const Row rows[] = {
      {"labels rotate from the first window; the time axis is window-major",
       params(1, 4, 2), packet({record(0x0002, {inv(1), inv(2), inv(3), inv(4), inv(5), inv(6), inv(7), inv(8)})}),
       {{{1, 2, 3, 4, 5, 6, 7, 8}}, {{2, 3, 0, 1}}, {{0, 1, 2, 3, 4, 5, 6, 7}}}},
      {"complement and mask", params(1, 1, 4), packet({record(0, {0xFFFF, 0xFFFE, 0x0000, 0xFC00})}),
       {{{0, 1, 1023, 1023}}, {{0}}, {{0, 1, 2, 3}}}},
      {"a wider data mask", params(1, 1, 2, {{"data_mask", u(0xFFFF)}}), packet({record(0, {0x0000, 0x8000})}),
       {{{65535, 32767}}, {{0}}, {{0, 1}}}},
      {"a channel twice collects both runs; absent channels stay empty",
       params(3, 1, 2), packet({record(0x0200, {inv(1), inv(2)}), record(0x0201, {inv(3), inv(4)}), record(0x0000, {inv(5), inv(6)})}),
       {{{5, 6}, {}, {1, 2, 3, 4}}, {{0}, {}, {0, 0}}, {{0, 1}, {}, {0, 1, 0, 1}}}},
      {"masks, shift modulo 16, extra header word, no footer word",
       params(2, 2, 1, {{"chanmask", u(0x00F0)}, {"chan_shift", u(20)}, {"windmask", u(0x000F)},
                        {"n_window_headers", u(2)}, {"n_window_footers", u(0)}}),
       packet({Words{0x0013, 0xAAAA, inv(7), inv(8)}, Words{0x0000, 0xAAAA, inv(9), inv(10)}}),
       {{{9, 10}, {7, 8}}, {{0, 1}, {1, 0}}, {{0, 1}, {0, 1}}}},
      {"words start at byte 1 whatever the chip header count says",
       params(1, 1, 1, {{"n_chip_headers", u(3)}, {"n_chip_footers", u(0)}}),
       [] { Bytes b = packet({record(0, {inv(42)})}, 1, 0); b.push_back(0x12); b.push_back(0x34); return b; }(),
       {{{42}}, {{0}}, {{0}}}},
      {"a window run past 65535 appends no label",
       params(1, 4, 1, {{"chanmask", u(0)}, {"windmask", u(0xFFFF)}}), packet({record(0xFFFE, {inv(1), inv(2), inv(3), inv(4)})}),
       {{{1, 2, 3, 4}}, {{}}, {{}}}},
      {"no window header words: word 0 is the header and the first sample",
       params(1, 2, 1, {{"n_window_headers", u(0)}}), packet({Words{0x0001, inv(5), 0}}),
       {{{1022, 5}}, {{1, 0}}, {{0, 1}}}},
      {"no channels", params(0, 4, 4), Bytes{1, 2, 3}, {{}, {}, {}}},
      {"no windows: records of header and footer only", params(2, 0, 4), packet({record(0x0103, {}), record(0x0000, {})}),
       {{{}, {}}, {{}, {}}, {{}, {}}}},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_TRUE(got.has_value()) << row.name << ": " << got.error().message();
    EXPECT_EQ(got->data, row.want.data) << row.name;
    EXPECT_EQ(got->window_labels, row.want.labels) << row.name;
    EXPECT_EQ(got->time, row.want.time) << row.name;
    EXPECT_FALSE(got->timing.has_value()) << row.name;
    EXPECT_FALSE(got->ecc_errors.has_value()) << row.name;
  }
}

// Sixteen channels of one window of four samples: R = 6 words, 195 bytes.
std::vector<Words> sixteen_records() {
  std::vector<Words> records;
  for (std::uint16_t k = 0; k < 16; ++k) {
    const auto ch = static_cast<std::uint16_t>((k + 5) % 16);
    records.push_back(record(static_cast<std::uint16_t>(ch << 8), {inv(k), inv(100), inv(200), inv(300)}));
  }
  return records;
}

TEST(Skiv16, SixteenChannelPacket) {
  const Bytes bytes = packet(sixteen_records());
  ASSERT_EQ(bytes.size(), 195u);
  ASSERT_EQ(bytes[1], 0x00);
  ASSERT_EQ(bytes[2], 0x05);
  auto got = parse(bytes, params(16, 1, 4));
  ASSERT_TRUE(got.has_value()) << got.error().message();
  ASSERT_EQ(got->data.size(), 16u);
  for (std::uint16_t k = 0; k < 16; ++k) {
    const std::size_t ch = (k + 5) % 16;
    EXPECT_EQ(got->data[ch], (std::vector<float>{static_cast<float>(k), 100, 200, 300})) << "channel " << ch;
    EXPECT_EQ(got->window_labels[ch], (std::vector<std::uint16_t>{0})) << "channel " << ch;
    EXPECT_EQ(got->time[ch], (std::vector<std::uint16_t>{0, 1, 2, 3})) << "channel " << ch;
  }
  Params p = params(16, 1, 4);
  p.model = "skiv16";
  auto dispatched = parse_event(bytes, p);
  ASSERT_TRUE(dispatched.has_value());
  EXPECT_EQ(dispatched->data, got->data);
  EXPECT_EQ(dispatched->time, got->time);
}

TEST(Skiv16, Failures) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    K want;
  };
  const Bytes good = packet(sixteen_records());
  Bytes bad_channel = good;
  bad_channel[1 + 2 * 6 * 3 + 1] = 0x10;  // the fourth record's header: channel 16
  const Row rows[] = {
      {"empty packet", params(16, 1, 4), {}, K::MissingData},
      {"empty packet, parameters refused", params(16, 0, 4, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}}), {}, K::MissingData},
      {"one byte short", params(16, 1, 4), Bytes(good.begin(), good.end() - 1), K::UnexpectedLength},
      {"one byte long", params(16, 1, 4), [&] { Bytes b = good; b.push_back(0); return b; }(), K::UnexpectedLength},
      {"channel 16 of 16", params(16, 1, 4), bad_channel, K::InvalidChannel},
      {"records of no words", params(16, 0, 4, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}}), good, K::InvalidParameters},
      {"windows without samples", params(16, 4, 0), good, K::InvalidParameters},
      {"windows × samples beyond 64 bits", params(1, std::uint64_t{1} << 32, std::uint64_t{1} << 32), good, K::UnexpectedLength},
      {"a huge channel count", params(std::uint64_t{1} << 40, 1, 4), good, K::UnexpectedLength},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_FALSE(got.has_value()) << row.name;
    EXPECT_EQ(got.error().kind, row.want) << row.name << ": " << got.error().message();
  }
}

TEST(Skiv16, ParamsCacheKeysWidthsAndDefaults) {
  const skiv16::ParamsCache d(params(16, 2, 3));
  EXPECT_EQ(d.n_chip_headers, 1u);
  EXPECT_EQ(d.n_chip_footers, 2u);
  EXPECT_EQ(d.record.n_window_headers, 1u);
  EXPECT_EQ(d.record.n_window_footers, 1u);
  EXPECT_EQ(d.record.data_mask, 0x03FF);
  EXPECT_EQ(d.record.chanmask, 0xFF00);
  EXPECT_EQ(d.record.chan_shift, 8);
  EXPECT_EQ(d.record.windmask, 0x00FF);
  EXPECT_EQ(d.record.record_words, 8u);
  EXPECT_EQ(d.packet_bytes, 3u + 2 * 16 * 8);

  const std::uint64_t big = std::uint64_t{1} << 40;
  const skiv16::ParamsCache c(params(0, 2, 3, {{"n_chip_headers", u(big)}, {"n_chip_footers", u(big + 1)},
                                               {"n_window_headers", u(big + 2)}, {"n_window_footers", u(big + 3)},
                                               {"data_mask", u(0x10001)}, {"chanmask", u(0x20002)},
                                               {"chan_shift", u(0x30003)}, {"windmask", u(0x40004)}}));
  EXPECT_EQ(c.n_chip_headers, big);
  EXPECT_EQ(c.n_chip_footers, big + 1);
  EXPECT_EQ(c.record.n_window_headers, big + 2);
  EXPECT_EQ(c.record.n_window_footers, big + 3);
  EXPECT_EQ(c.record.data_mask, 1);
  EXPECT_EQ(c.record.chanmask, 2);
  EXPECT_EQ(c.record.chan_shift, 3);
  EXPECT_EQ(c.record.windmask, 4);
  EXPECT_EQ(c.packet_bytes, 2 * big + 1);
}

}  // namespace
}  // namespace tavroacq
