#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <string>

#include "calibration.h"

namespace tavroacq {
namespace {

using Samples = std::vector<std::vector<float>>;
using Labels = std::vector<std::vector<std::uint16_t>>;

// The table [[[1.0, 2.0], [3.0, 4.0]]]: one channel, two windows of two offsets.
Pedestals table_1234() { return Pedestals{{{{1.0f, 2.0f}, {3.0f, 4.0f}}}}; }

Params params(std::uint64_t channels, std::uint64_t samples) {
  Params p;
  p.model = "telkv3";
  p.channels = channels;
  p.windows = 8;
  p.samples = samples;
  return p;
}

EventRecord record(Samples data, Labels labels) {
  EventRecord r;
  r.data = std::move(data);
  r.window_labels = std::move(labels);
  r.time.resize(r.data.size());
  return r;
}

TEST(Correct, SubtractsOrFailsWhereTheRecordDoesNotFit) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    Pedestals table;
    std::uint64_t channels, samples;
    Samples data;
    Labels labels;
    bool ok;
    Samples after;  // the record's samples afterwards, failure or not
  };
  const Case cases[] = {
      {"labels out of order", table_1234(), 1, 2, {{10, 10, 10, 10}}, {{1, 0}}, true, {{7, 6, 9, 8}}},
      {"a label may repeat", table_1234(), 1, 2, {{10, 10, 10, 10}}, {{0, 0}}, true, {{9, 8, 9, 8}}},
      {"three samples for one window of two", table_1234(), 1, 2, {{10, 10, 10}}, {{1}}, false, {{7, 6, 10}}},
      {"label 2 with two windows", table_1234(), 1, 2, {{10, 10}}, {{2}}, false, {{10, 10}}},
      {"window entry with one offset", Pedestals{{{{1.0f}, {3.0f, 4.0f}}}}, 1, 2, {{10, 10}}, {{0}}, false,
       {{9, 10}}},
      {"channel without labels", table_1234(), 1, 2, {{10, 10}}, {{}}, true, {{10, 10}}},
      {"channel with labels but no samples", table_1234(), 1, 2, {{}}, {{0}}, true, {{}}},
      {"skipped channel needs no table entry", table_1234(), 2, 2, {{10, 10}, {5, 5}}, {{0}, {}}, true,
       {{9, 8}, {5, 5}}},
      {"channel with samples needs a table entry", table_1234(), 2, 2, {{10, 10}, {5, 5}}, {{0}, {0}}, false,
       {{9, 8}, {5, 5}}},
      {"no channels", table_1234(), 0, 2, {{10, 10}}, {{5}}, true, {{10, 10}}},
      {"no channels, empty table", Pedestals{}, 0, 2, {{10}}, {{0}}, true, {{10}}},
      {"fewer label entries than channels", table_1234(), 2, 2, {{10, 10}}, {{0}}, false, {{9, 8}}},
      {"fewer data entries than channels", table_1234(), 2, 2, {{10, 10}}, {{0}, {0}}, false, {{9, 8}}},
      {"channels beyond C untouched", table_1234(), 1, 2, {{10, 10}, {10, 10}}, {{0}, {0}}, true, {{9, 8}, {10, 10}}},
      {"a huge channel count stops at the record", table_1234(), std::uint64_t{1} << 62, 2, {{10, 10}}, {{0}},
       false, {{9, 8}}},
      {"samples = 0 with labels and samples", table_1234(), 1, 0, {{10, 10}}, {{0}}, false, {{10, 10}}},
      {"samples = 0 without samples", table_1234(), 1, 0, {{}}, {{0}}, true, {{}}},
      {"NaN offset", Pedestals{{{{nan, 1.0f}}}}, 1, 2, {{10, 10}}, {{0}}, true, {{nan, 9}}},
      {"no clamping at zero", Pedestals{{{{0.5f, 20.0f}}}}, 1, 2, {{3, 5}}, {{0}}, true, {{2.5f, -15}}},
  };
  for (const Case& c : cases) {
    EventRecord r = record(c.data, c.labels);
    const auto labels_before = r.window_labels;
    const auto result = correct(c.table, r, params(c.channels, c.samples));
    EXPECT_EQ(result.has_value(), c.ok) << c.name;
    ASSERT_EQ(r.data.size(), c.after.size()) << c.name;
    for (std::size_t ch = 0; ch < c.after.size(); ++ch) {
      ASSERT_EQ(r.data[ch].size(), c.after[ch].size()) << c.name;
      for (std::size_t j = 0; j < c.after[ch].size(); ++j) {
        if (std::isnan(c.after[ch][j])) EXPECT_TRUE(std::isnan(r.data[ch][j])) << c.name;
        else EXPECT_EQ(r.data[ch][j], c.after[ch][j]) << c.name << " channel " << ch << " sample " << j;
      }
    }
    EXPECT_EQ(r.window_labels, labels_before) << c.name;
  }
}

// An inner stream over a fixed list of records.
template <class E>
struct ListStream {
  std::deque<E> records;
  std::optional<E> next() {
    if (records.empty()) return std::nullopt;
    E r = std::move(records.front());
    records.pop_front();
    return r;
  }
};

template <class E = EventRecord>
E make(Samples data, Labels labels) {
  E r;
  r.data = std::move(data);
  r.window_labels = std::move(labels);
  r.time.resize(r.data.size());
  return r;
}

TEST(Corrected, WithoutPedestalsPassesRecordsUnchangedInOrder) {
  ListStream<EventRecord> inner{{make({{10, 10}}, {{0}}), make({{1, 2, 3}}, {{9}}), make({{4}}, {{}})}};
  const auto expected = inner.records;
  Corrected stream(Corrections(params(1, 2)), std::move(inner));
  for (const auto& want : expected) {
    auto item = stream.next();
    ASSERT_TRUE(item && item->has_value());
    EXPECT_EQ((*item)->data, want.data);
  }
  EXPECT_FALSE(stream.next());
}

TEST(Corrected, AFailureIsAnItemAndTheStreamGoesOn) {
  // The second record's label 2 is beyond the table's two windows.
  ListStream<Brisav1Event> inner{{make<Brisav1Event>({{10, 10}}, {{0}}), make<Brisav1Event>({{10, 10}}, {{2}}),
                                  make<Brisav1Event>({{10, 10, 10, 10}}, {{1, 0}})}};
  inner.records[2].timing = std::vector<std::vector<std::uint32_t>>{{7}};
  Corrected stream(Corrections(params(1, 2)).pedestals(table_1234()), std::move(inner));
  static_assert(std::is_same_v<decltype(stream)::Record, Brisav1Event>);

  auto first = stream.next();
  ASSERT_TRUE(first && first->has_value());
  EXPECT_EQ((*first)->data, Samples({{9, 8}}));
  auto second = stream.next();
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->has_value());
  auto third = stream.next();
  ASSERT_TRUE(third && third->has_value());
  EXPECT_EQ((*third)->data, Samples({{7, 6, 9, 8}}));
  EXPECT_EQ((*third)->timing, (std::vector<std::vector<std::uint32_t>>{{7}}));
  EXPECT_FALSE(stream.next());
  EXPECT_FALSE(stream.next());
}

TEST(Corrected, EmptyInnerStreamEndsAtOnce) {
  Corrected stream(Corrections(params(1, 2)).pedestals(table_1234()), ListStream<EventRecord>{});
  EXPECT_FALSE(stream.next());
  EXPECT_FALSE(stream.next());
}

TEST(Corrections, ReplacingThePedestalsWithNoneRemovesTheCorrection) {
  const Corrections with = Corrections(params(1, 2)).pedestals(table_1234());
  const Corrections without = with.pedestals(std::nullopt);  // `with` keeps its table
  ASSERT_TRUE(with.pedestal_table());
  EXPECT_FALSE(without.pedestal_table());

  Corrected plain(without, ListStream<EventRecord>{{make({{10, 10}}, {{0}})}});
  auto item = plain.next();
  ASSERT_TRUE(item && item->has_value());
  EXPECT_EQ((*item)->data, Samples({{10, 10}}));

  Corrected corrected(with, ListStream<EventRecord>{{make({{10, 10}}, {{0}})}});
  item = corrected.next();
  ASSERT_TRUE(item && item->has_value());
  EXPECT_EQ((*item)->data, Samples({{9, 8}}));
}

}  // namespace
}  // namespace tavroacq
