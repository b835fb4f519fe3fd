#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "parser_cases.h"
#include "parsing/orra96.h"

namespace tavroacq {
namespace {

using Words = std::vector<std::uint16_t>;
using Bytes = std::vector<std::uint8_t>;
using K = ParsingError::Kind;

// The stored word of sample value v: its complement.
constexpr std::uint16_t inv(std::uint16_t v) { return static_cast<std::uint16_t>(~v); }

// A channel record: header word, sample words, one footer word.
Words record(std::uint16_t header, const Words& samples) {
  Words w{header};
  w.insert(w.end(), samples.begin(), samples.end());
  w.push_back(0);
  return w;
}

// A chip block: the chip byte (then further header bytes), the records as little-endian words,
// the footer bytes.
Bytes block(std::uint8_t chip, const std::vector<Words>& records, std::size_t header_bytes = 1,
            std::size_t footer_bytes = 3) {
  Bytes out{chip};
  out.resize(header_bytes, 0xEE);
  for (const auto& r : records)
    for (std::uint16_t w : r) {
      out.push_back(static_cast<std::uint8_t>(w));
      out.push_back(static_cast<std::uint8_t>(w >> 8));
    }
  out.resize(out.size() + footer_bytes, 0xEE);
  return out;
}

// The blocks back to back, then the event footer.
Bytes event(const std::vector<Bytes>& blocks, std::size_t footer_bytes = 2) {
  Bytes out;
  for (const auto& b : blocks) out.insert(out.end(), b.begin(), b.end());
  out.resize(out.size() + footer_bytes, 0xEE);
  return out;
}

using testing::Additional;

Params params(std::uint64_t channels, std::uint64_t windows, std::uint64_t samples, Additional additional = {}) {
  return testing::make_params("orra96", channels, windows, samples, std::move(additional));
}

YamlValue u(std::uint64_t v) { return YamlValue::of_uint(v); }

std::expected<Orra96Event, ParsingError> parse(const Bytes& bytes, const Params& p) {
  return ParseInto<Orra96Event>::parse_into(bytes, p);
}

// The 96-entry shape every record has, whatever Params.channels says.
void expect_shape(const Orra96Event& e, const std::string& name) {
  ASSERT_EQ(e.data.size(), 96u) << name;
  ASSERT_EQ(e.window_labels.size(), 96u) << name;
  ASSERT_EQ(e.time.size(), 96u) << name;
  ASSERT_TRUE(e.ecc_errors.has_value()) << name;
  ASSERT_EQ(e.ecc_errors->size(), 96u) << name;
  EXPECT_FALSE(e.timing.has_value()) << name;
  for (std::size_t c = 0; c < 96; ++c) {
    EXPECT_TRUE((*e.ecc_errors)[c].empty()) << name << " channel " << c;
    EXPECT_GE(e.data[c].capacity(), 4096u) << name << " channel " << c;
    EXPECT_GE(e.window_labels[c].capacity(), 4096u) << name << " channel " << c;
    EXPECT_GE(e.time[c].capacity(), 4096u) << name << " channel " << c;
  }
}

// One filled channel: its number, samples, labels and time axis.
using Channel = std::tuple<std::size_t, std::vector<float>, std::vector<std::uint16_t>, std::vector<std::uint16_t>>;

TEST(Orra96, Records) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    std::vector<Channel> want;  // every other channel is empty
  };
  const Row rows[] = {
      {"header 0x0103: channel 1, labels from window 3 of two",
       params(6, 2, 2, {{"num_chips", u(3)}}), event({block(0, {record(0x0000, {inv(1), inv(2), inv(3), inv(4)}),
                                                                  record(0x0103, {inv(5), inv(6), inv(7), inv(8)})})}),
       {{0, {1, 2, 3, 4}, {0, 1}, {0, 1, 2, 3}}, {1, {5, 6, 7, 8}, {1, 0}, {0, 1, 2, 3}}}},
      {"complement and mask drop the check bits",
       params(6, 1, 4), event({block(0, {record(0, {0xFFFF, 0xFFFE, 0x0000, 0xFC00})})}),
       {{0, {0, 1, 1023, 1023}, {0}, {0, 1, 2, 3}}}},
      {"the chip number in the low six bits of byte 0 shifts the channels",
       params(12, 1, 1), event({block(0x41, {record(0x0000, {inv(1)}), record(0x0100, {inv(2)})}),
                                block(0xC5, {record(0x0100, {inv(3)}), record(0x0000, {inv(4)})})}),
       {{2, {1}, {0}, {0}}, {3, {2}, {0}, {0}}, {10, {4}, {0}, {0}}, {11, {3}, {0}, {0}}}},
      {"a channel twice collects both records, in packet order",
       params(6, 1, 2), event({block(0, {record(0x0000, {inv(1), inv(2)})}), block(0, {record(0x0000, {inv(3), inv(4)})})}),
       {{0, {1, 2, 3, 4}, {0, 0}, {0, 1, 0, 1}}}},
      {"channels at or above Params.channels get no time axis",
       params(64, 1, 2, {{"num_chips", u(32)}}), event({block(40, {record(0x0000, {inv(1), inv(2)}), record(0x0100, {inv(3), inv(4)})})}),
       {{80, {1, 2}, {0}, {}}, {81, {3, 4}, {0}, {}}}},
      {"no chip header bytes: byte 0 is the chip byte and part of the first word",
       params(12, 1, 1, {{"n_chip_headers", u(0)}, {"n_chip_footers", u(2)}}),
       event({block(0, {record(0x0001, {inv(1)}), record(0x0100, {inv(2)})}, 0, 2)}),
       {{2, {1}, {0}, {0}}, {3, {2}, {0}, {0}}}},
      {"more chip header and footer bytes, no event footer",
       params(6, 1, 1, {{"n_chip_headers", u(4)}, {"n_chip_footers", u(2)}, {"n_event_footers", u(0)}}),
       event({block(2, {record(0x0000, {inv(9)})}, 4, 2)}, 0),
       {{2, {9}, {0}, {0}}}},
      {"only the event footer", params(96, 64, 64), event({}), {}},
      {"a huge block length still admits a footer-only packet",
       params(6, 1, 1, {{"n_chip_headers", u(~std::uint64_t{0})}}), event({}), {}},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_TRUE(got.has_value()) << row.name << ": " << got.error().message();
    expect_shape(*got, row.name);
    std::vector<bool> filled(96, false);
    for (const auto& [c, data, labels, time] : row.want) {
      filled[c] = true;
      EXPECT_EQ(got->data[c], data) << row.name << " channel " << c;
      EXPECT_EQ(got->window_labels[c], labels) << row.name << " channel " << c;
      EXPECT_EQ(got->time[c], time) << row.name << " channel " << c;
    }
    for (std::size_t c = 0; c < 96; ++c) {
      if (filled[c]) continue;
      EXPECT_TRUE(got->data[c].empty() && got->window_labels[c].empty() && got->time[c].empty())
          << row.name << " channel " << c;
    }
  }
}

// The board's full layout: six chips of sixteen channels, 64 windows of 64 samples each.
Bytes full_event() {
  std::vector<Bytes> blocks;
  for (std::uint8_t chip = 0; chip < 6; ++chip) {
    std::vector<Words> records;
    for (std::uint16_t ch = 0; ch < 16; ++ch) {
      Words samples(4096);
      for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = inv(static_cast<std::uint16_t>((i + 16 * chip + ch) % 1024));
      records.push_back(record(static_cast<std::uint16_t>(ch << 8 | (ch + chip)), samples));
    }
    blocks.push_back(block(chip, records));
  }
  return event(blocks);
}

TEST(Orra96, FullEvent) {
  const Bytes bytes = full_event();
  ASSERT_EQ(bytes.size(), 786842u);
  auto got = parse(bytes, params(96, 64, 64));
  ASSERT_TRUE(got.has_value()) << got.error().message();
  expect_shape(*got, "full event");
  for (std::size_t c = 0; c < 96; ++c) {
    ASSERT_EQ(got->data[c].size(), 4096u) << c;
    ASSERT_EQ(got->time[c].size(), 4096u) << c;
    ASSERT_EQ(got->window_labels[c].size(), 64u) << c;
    EXPECT_EQ(got->window_labels[c][0], (c % 16 + c / 16) % 64) << c;
    for (std::size_t i = 0; i < 4096; i += 1023) {
      EXPECT_EQ(got->data[c][i], static_cast<float>((i + c) % 1024)) << c << " " << i;
      EXPECT_EQ(got->time[c][i], i) << c << " " << i;
    }
  }
  auto dispatched = parse_event(bytes, params(96, 64, 64));
  ASSERT_TRUE(dispatched.has_value());
  EXPECT_EQ(dispatched->data, got->data);
  EXPECT_EQ(dispatched->ecc_errors, got->ecc_errors);

  Bytes short_by_two(bytes.begin(), bytes.end() - 2);
  ASSERT_FALSE(parse(short_by_two, params(96, 64, 64)).has_value());
  EXPECT_EQ(parse(short_by_two, params(96, 64, 64)).error().kind, K::UnexpectedLength);
}

TEST(Orra96, Failures) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    K want;
  };
  const Bytes one_block = event({block(0, {record(0, {inv(1)})})});  // P = 1, R = 3
  std::vector<Words> thirty_two;
  for (std::uint16_t ch = 0; ch < 32; ++ch) thirty_two.push_back(record(static_cast<std::uint16_t>(ch << 8), {inv(1)}));
  const std::uint64_t huge = std::uint64_t{1} << 40;
  const Row rows[] = {
      {"empty packet", params(6, 1, 1), {}, K::MissingData},
      {"odd length", params(6, 1, 1), Bytes(13, 0), K::UnexpectedLength},
      {"shorter than the event footer", params(6, 1, 1, {{"n_event_footers", u(4)}}), Bytes(2, 0), K::UnexpectedLength},
      {"not whole blocks", params(6, 1, 1), Bytes(one_block.size() + 2, 0), K::UnexpectedLength},
      {"channel 96 although Params.channels is 192", params(192, 1, 1), event({block(3, thirty_two)}), K::InvalidChannel},
      {"Params.channels 97 after a valid packet", params(97, 1, 1, {{"num_chips", u(97)}}), one_block, K::MissingData},
      {"no chips", params(6, 1, 1, {{"num_chips", u(0)}}), one_block, K::InvalidParameters},
      {"blocks of no bytes", params(0, 1, 1, {{"n_chip_headers", u(0)}, {"n_chip_footers", u(0)}}), Bytes(2, 0), K::InvalidParameters},
      {"records of no words", params(6, 0, 1, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}}), one_block, K::InvalidParameters},
      {"windows without samples", params(6, 4, 0), one_block, K::InvalidParameters},
      {"a huge channel count, footer only", params(huge, 1, 1), Bytes(2, 0), K::MissingData},
      {"a huge channel count", params(huge, 1, 1), one_block, K::UnexpectedLength},
      {"windows × samples beyond 64 bits", params(6, huge, huge), one_block, K::UnexpectedLength},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_FALSE(got.has_value()) << row.name;
    EXPECT_EQ(got.error().kind, row.want) << row.name << ": " << got.error().message();
  }
}

TEST(Orra96, ParamsCacheKeysWidthsAndDefaults) {
  const orra96::ParamsCache d(params(96, 64, 64));
  EXPECT_EQ(d.num_chips, 6u);
  EXPECT_EQ(d.n_chip_headers, 1u);
  EXPECT_EQ(d.n_chip_footers, 3u);
  EXPECT_EQ(d.n_event_footers, 2u);
  EXPECT_EQ(d.record.n_window_headers, 1u);
  EXPECT_EQ(d.record.n_window_footers, 1u);
  EXPECT_EQ(d.record.data_mask, 0x03FF);
  EXPECT_EQ(d.record.chanmask, 0xFF00);
  EXPECT_EQ(d.record.chan_shift, 8);
  EXPECT_EQ(d.record.windmask, 0x00FF);
  EXPECT_EQ(d.channels_per_chip, 16u);
  EXPECT_EQ(d.record.record_words, 4098u);
  EXPECT_EQ(d.block_bytes, 131140u);

  const std::uint64_t big = std::uint64_t{1} << 40;
  const orra96::ParamsCache c(params(96, 64, 64, {{"num_chips", u(big)}, {"n_chip_headers", u(big + 1)},
                                                  {"n_chip_footers", u(big + 2)}, {"n_event_footers", u(big + 3)},
                                                  {"data_mask", u(0x10001)}, {"chan_shift", u(0x10011)}}));
  EXPECT_EQ(c.num_chips, big);
  EXPECT_EQ(c.channels_per_chip, 0u);
  EXPECT_EQ(c.n_chip_headers, big + 1);
  EXPECT_EQ(c.n_chip_footers, big + 2);
  EXPECT_EQ(c.n_event_footers, big + 3);
  EXPECT_EQ(c.record.data_mask, 1);
  EXPECT_EQ(c.record.chan_shift, 17);
  EXPECT_EQ(c.record.channel(0x0100), 0x80);  // the shift of 17 is applied as 1
  EXPECT_EQ(c.block_bytes, 2 * big + 3);
}

}  // namespace
}  // namespace tavroacq
