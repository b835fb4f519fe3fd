#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "parser_cases.h"
#include "parsing/dunlinv1.h"

namespace tavroacq {
namespace {

using Words = std::vector<std::uint16_t>;
using Bytes = std::vector<std::uint8_t>;
using K = ParsingError::Kind;

// A frame: group word and further header words, the channel records (label, channel, samples,
// any further record words), and the two trailing words.
Words frame(std::uint16_t group, const std::vector<Words>& records, std::size_t header_words = 7) {
  Words w{group};
  w.resize(header_words, 0xEEEE);
  for (const auto& r : records) w.insert(w.end(), r.begin(), r.end());
  w.push_back(0xDDDD);
  w.push_back(0xDDDD);
  return w;
}

// The frames as big-endian words, then `tail` bytes.
Bytes packet(const std::vector<Words>& frames, std::size_t tail = 0) {
  Bytes out;
  for (const auto& f : frames)
    for (std::uint16_t w : f) {
      out.push_back(static_cast<std::uint8_t>(w >> 8));
      out.push_back(static_cast<std::uint8_t>(w));
    }
  out.resize(out.size() + tail, 0xCC);
  return out;
}

using testing::Additional;

Params params(std::uint64_t channels, std::uint64_t windows, std::uint64_t samples, Additional additional = {}) {
  return testing::make_params("dunlin", channels, windows, samples, std::move(additional));
}

YamlValue u(std::uint64_t v) { return YamlValue::of_uint(v); }

std::expected<Dunlinv1Event, ParsingError> parse(const Bytes& bytes, const Params& p) {
  return ParseInto<Dunlinv1Event>::parse_into(bytes, p);
}

// The frame of the board's documentation: group 1, channels 6, 4, 6 and 5.
Words example_frame() {
  return frame(1, {{3, 2, 0x0100, 2, 3, 4}, {5, 0, 9, 9, 9, 9}, {3, 2, 7, 7, 7, 7}, {4, 1, 1, 1, 1, 1}});
}

// One filled channel: its number, samples, labels and time axis.
using Channel = std::tuple<std::size_t, std::vector<float>, std::vector<std::uint16_t>, std::vector<std::uint16_t>>;

TEST(Dunlinv1, Records) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    std::vector<Channel> want;  // every other channel is empty
  };
  const std::vector<Channel> example = {{4, {9, 9, 9, 9}, {5}, {0, 1, 2, 3}},
                                        {5, {1, 1, 1, 1}, {4}, {0, 1, 2, 3}},
                                        {6, {256, 2, 3, 4, 7, 7, 7, 7}, {3, 3}, {0, 1, 2, 3, 0, 1, 2, 3}}};
  const Row rows[] = {
      {"example frame alone", params(8, 8, 4), packet({example_frame()}), example},
      {"example frame and one more word", params(8, 8, 4), packet({example_frame()}, 2), example},
      {"example frame and two more words", params(8, 8, 4), packet({example_frame()}, 4), example},
      {"two frames, words taken whole, labels wrapping the ring",
       params(4, 8, 2), packet({frame(0, {{5, 0, 0xFFFF, 1}, {1, 0, 2, 3}, {6, 3, 4, 5}, {7, 3, 6, 7}}),
                                frame(0, {{2, 1, 8, 9}, {0, 1, 10, 11}, {2, 2, 12, 13}, {2, 2, 14, 15}})}),
       {{0, {65535, 1, 2, 3}, {5, 1}, {0, 1, 8, 9}},
        {1, {8, 9, 10, 11}, {2, 0}, {0, 1, 12, 13}},
        {2, {12, 13, 14, 15}, {2, 2}, {0, 1, 0, 1}},
        {3, {4, 5, 6, 7}, {6, 7}, {0, 1, 2, 3}}}},
      {"samples start at word 2 whatever the record's other words",
       params(4, 4, 2, {{"n_window_headers", u(3)}, {"n_event_headers", u(2)}}),
       packet({frame(0, {{1, 0, 5, 6, 0xAAAA}, {1, 1, 7, 8, 0xAAAA}, {1, 2, 9, 10, 0xAAAA}, {1, 3, 11, 12, 0xAAAA}}, 2)}),
       {{0, {5, 6}, {1}, {0, 1}}, {1, {7, 8}, {1}, {0, 1}}, {2, {9, 10}, {1}, {0, 1}}, {3, {11, 12}, {1}, {0, 1}}}},
      {"a longer channel area holds a fifth record",
       params(8, 4, 1, {{"n_footer_words", u(4)}}),
       packet({frame(1, {{0, 0, 1}, {0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {1, 0, 5}})}),
       {{4, {1, 5}, {0, 1}, {0, 1}}, {5, {2}, {0}, {0}}, {6, {3}, {0}, {0}}, {7, {4}, {0}, {0}}}},
      {"windows of no samples keep their labels",
       params(4, 4, 0), packet({frame(0, {{3, 0}, {2, 1}, {1, 2}, {0, 3}})}),
       {{0, {}, {3}, {}}, {1, {}, {2}, {}}, {2, {}, {1}, {}}, {3, {}, {0}, {}}}},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_TRUE(got.has_value()) << row.name << ": " << got.error().message();
    ASSERT_EQ(got->data.size(), row.params.channels) << row.name;
    ASSERT_EQ(got->window_labels.size(), row.params.channels) << row.name;
    ASSERT_EQ(got->time.size(), row.params.channels) << row.name;
    EXPECT_FALSE(got->timing.has_value() || got->ecc_errors.has_value()) << row.name;
    std::vector<bool> filled(row.params.channels, false);
    for (const auto& [c, data, labels, time] : row.want) {
      filled[c] = true;
      EXPECT_EQ(got->data[c], data) << row.name << " channel " << c;
      EXPECT_EQ(got->window_labels[c], labels) << row.name << " channel " << c;
      EXPECT_EQ(got->time[c], time) << row.name << " channel " << c;
    }
    for (std::size_t c = 0; c < filled.size(); ++c) {
      if (filled[c]) continue;
      EXPECT_TRUE(got->data[c].empty() && got->window_labels[c].empty() && got->time[c].empty())
          << row.name << " channel " << c;
    }
  }
}

TEST(Dunlinv1, AcceptedLengths) {
  // Defaults with four samples: frames of 66 bytes. Each frame names channel 0 once.
  const Words f = frame(0, {{0, 0, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1}, {0, 2, 1, 1, 1, 1}, {0, 3, 1, 1, 1, 1}});
  const Bytes two = packet({f, f}, 8);
  const std::pair<std::size_t, std::size_t> rows[] = {
      // length, frames read (0: rejected with "unexpected length of data")
      {0, 0}, {2, 0}, {64, 0}, {65, 0}, {66, 1}, {68, 1}, {70, 1}, {72, 0},
      {130, 0}, {131, 0}, {132, 2}, {134, 2}, {136, 2}, {138, 0},
  };
  for (auto [length, frames] : rows) {
    const Bytes bytes(two.begin(), two.begin() + static_cast<std::ptrdiff_t>(length));
    auto got = parse(bytes, params(4, 4, 4));
    if (frames == 0) {
      ASSERT_FALSE(got.has_value()) << length;
      EXPECT_EQ(got.error().kind, K::UnexpectedLength) << length;
    } else {
      ASSERT_TRUE(got.has_value()) << length << ": " << got.error().message();
      EXPECT_EQ(got->window_labels[0].size(), frames) << length;
    }
  }
}

TEST(Dunlinv1, Failures) {
  struct Row {
    const char* name;
    Params params;
    Bytes packet;
    K want;
  };
  const Bytes example = packet({example_frame()});
  const Row rows[] = {
      {"a channel word plus four times the group reaches the channel count", params(6, 8, 4), example, K::InvalidChannel},
      {"one word besides the samples",
       params(8, 8, 4, {{"n_window_headers", u(1)}}), packet({frame(0, {{0, 0, 1, 1, 1}, {0, 0, 1, 1, 1}, {0, 0, 1, 1, 1}, {0, 0, 1, 1, 1}})}),
       K::UnexpectedLength},
      {"one word besides the samples, the channel tested first",
       params(8, 8, 4, {{"n_window_headers", u(1)}}), packet({frame(2, {{0, 0, 1, 1, 1}, {0, 0, 1, 1, 1}, {0, 0, 1, 1, 1}, {0, 0, 1, 1, 1}})}),
       K::InvalidChannel},
      {"a channel area that is not whole records",
       params(8, 8, 1, {{"n_footer_words", u(0)}}), packet({frame(0, {{0, 0, 1}, {0, 1, 1}, {0, 2, 1}, {0, 3}})}),
       K::UnexpectedLength},
      {"records of no words", params(8, 8, 0, {{"n_window_headers", u(0)}}), example, K::InvalidParameters},
      {"records of one word", params(8, 8, 1, {{"n_window_headers", u(0)}}), example, K::InvalidParameters},
      {"records of one word, empty packet", params(8, 8, 0, {{"n_window_headers", u(1)}}), {}, K::InvalidParameters},
      {"more channels than a record can name", params(dunlinv1::MAX_CHANNELS + 1, 8, 4), example, K::InvalidParameters},
      {"a huge channel count", params(std::uint64_t{1} << 40, 8, 4), example, K::InvalidParameters},
      {"a frame length beyond 64 bits", params(8, 8, ~std::uint64_t{0} / 2), example, K::UnexpectedLength},
  };
  for (const auto& row : rows) {
    auto got = parse(row.packet, row.params);
    ASSERT_FALSE(got.has_value()) << row.name;
    EXPECT_EQ(got.error().kind, row.want) << row.name << ": " << got.error().message();
  }
  // The highest channel a record can name is accepted.
  auto top = parse(packet({frame(0xFFFF, {{0, 0xFFFF, 1, 2}, {0, 0xFFFF, 3, 4}, {0, 0xFFFF, 5, 6}, {0, 0xFFFF, 7, 8}})}),
                   params(dunlinv1::MAX_CHANNELS, 8, 2));
  ASSERT_TRUE(top.has_value()) << top.error().message();
  EXPECT_EQ(top->data.back(), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(Dunlinv1, ParamsCacheKeysWidthsAndDefaults) {
  const dunlinv1::ParamsCache d(params(8, 16, 4));
  EXPECT_EQ(d.n_window_headers, 2u);
  EXPECT_EQ(d.n_event_headers, 7u);
  EXPECT_EQ(d.n_footer_words, 1u);
  EXPECT_EQ(d.record_words, 6u);
  EXPECT_EQ(d.frame_words, 33u);
  EXPECT_EQ(d.channels, 8u);
  EXPECT_EQ(d.windows, 16u);
  EXPECT_EQ(d.samples, 4u);

  const std::uint64_t big = std::uint64_t{1} << 40;
  const dunlinv1::ParamsCache c(params(8, 16, 4, {{"n_window_headers", u(big)}, {"n_event_headers", u(big + 1)},
                                                  {"n_footer_words", u(big + 2)}}));
  EXPECT_EQ(c.record_words, big + 4);
  EXPECT_EQ(c.frame_words, 4 * (big + 4) + (big + 1) + (big + 2) + 1);
}

}  // namespace
}  // namespace tavroacq
