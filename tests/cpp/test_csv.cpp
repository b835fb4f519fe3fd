#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>

#include "export/csv.h"
#include "test_support.h"

namespace tavroacq {
namespace {

using Labels = std::vector<std::vector<std::uint16_t>>;

struct Channel {
  std::size_t number;
  std::vector<std::uint16_t> labels;
  std::vector<float> data;
  std::vector<std::uint16_t> time;
  std::vector<std::uint32_t> timing;  // brisav1 only
};

EventRecord record(std::size_t width, const std::vector<Channel>& chans, bool with_timing = false) {
  EventRecord r(width);
  if (with_timing) r.timing.emplace(width);
  for (const Channel& c : chans) {
    r.window_labels[c.number] = c.labels;
    r.data[c.number] = c.data;
    r.time[c.number] = c.time;
    if (with_timing) (*r.timing)[c.number] = c.timing;
  }
  return r;
}

Params params_with_samples(std::uint64_t samples) {
  Params p;
  p.model = "telkv3";
  p.channels = 8;
  p.windows = 512;
  p.samples = samples;
  return p;
}

// Runs `body` with file descriptor 1 sent to a temporary file; returns what reached it.
std::string capture_fd1(const std::function<void()>& body) {
  testing::TempDir tmp;
  const auto path = tmp.path() / "stdout";
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  fflush(stdout);
  int saved = ::dup(1);
  ::dup2(file, 1);
  ::close(file);
  body();
  fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string export_text(const std::vector<EventRecord>& records, const Params& params,
                        Family family = Family::Telkv3) {
  StringSink sink;
  auto r = export_csv(records, sink, params, family);
  EXPECT_TRUE(r.has_value());
  return sink.text;
}

std::string fmt(char* (*f)(char*, float), float v) {
  char buf[MAX_NUMBER_TEXT];
  return std::string(buf, f(buf, v));
}

TEST(CsvNumbers, Table) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float value;
    const char* as_float;
    const char* as_sample;
  };
  const Case cases[] = {
      {1.0f, "1", "1"},
      {0.1f, "0.1", "0.1"},
      {123456.8f, "123456.8", "123456.8"},
      {100.25f, "100.25", "100.3"},
      {-7.25f, "-7.25", "-7.3"},
      {1.04f, "1.04", "1"},
      {2.06f, "2.06", "2.1"},
      {5.55f, "5.55", "5.6"},
      {-0.04f, "-0.04", "-0"},
      {-0.05f, "-0.05", "-0.1"},
      {-0.0f, "-0", "-0"},
      {0.0f, "0", "0"},
      {65535.0f, "65535", "65535"},
      {16777217.0f, "16777216", "16777216"},
      {123456789.0f, "123456792", "123456792"},
      {1e30f, "1000000015047466219876688855040", "1000000015047466219876688855040"},
      {1048575.9f, "1048575.9", "1048575.9"},
      {1048576.1f, "1048576.1", "1048576.1"},
      {2000000.3f, "2000000.2", "2000000.2"},
      {3e-5f, "0.00003", "0"},
      {inf, "inf", "inf"},
      {-inf, "-inf", "-inf"},
      {nan, "", ""},
      {-nan, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fmt(format_float, c.value), c.as_float) << "float " << c.as_float;
    EXPECT_EQ(fmt(format_sample, c.value), c.as_sample) << "sample of " << c.as_float;
  }
}

// The sample text must be what rounding in float and the shortest round-trip text give; the
// writer takes a shortcut for everyday magnitudes, so compare it with the library over a sweep
// that crosses the shortcut's bounds.
TEST(CsvNumbers, SampleTextMatchesShortestRoundTrip) {
  auto reference = [](float x) {
    const float v = std::roundf(x * 10.0f) / 10.0f;
    char buf[MAX_NUMBER_TEXT];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed).ptr);
  };
  std::vector<float> xs;
  for (std::int64_t t = -20000; t <= 20000; ++t) xs.push_back(static_cast<float>(t) / 10.0f);
  for (std::int64_t t = 10485760 - 3000; t <= 10485760 + 3000; ++t) {
    xs.push_back(static_cast<float>(t) / 10.0f);
    xs.push_back(-static_cast<float>(t) / 10.0f);
  }
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> wide(-3e6f, 3e6f);
  for (int i = 0; i < 200000; ++i) xs.push_back(wide(rng));
  for (float x : xs) {
    ASSERT_EQ(fmt(format_sample, x), reference(x)) << "x=" << x;
  }
  for (std::uint32_t v : {0u, 9u, 10u, 99u, 100u, 65535u, 16777215u, 16777217u, 4294967295u}) {
    char buf[MAX_NUMBER_TEXT];
    const auto f = static_cast<float>(v);
    const std::string want(buf, std::to_chars(buf, buf + sizeof buf, f, std::chars_format::fixed).ptr);
    EXPECT_EQ(fmt(format_float, f), want) << v;
  }
}

// The merge exactly as described: working copies, classification, the candidate walk that
// appends a wrapped sequence once per rising sequence before the first that holds its label.
std::vector<std::uint16_t> literal_merge(const Labels& labels) {
  std::vector<std::deque<std::uint16_t>> l;
  for (const auto& s : labels)
    if (!s.empty()) l.emplace_back(s.begin(), s.end());
  std::vector<std::uint16_t> m;
  for (;;) {
    bool all_empty = true;
    for (const auto& s : l) all_empty = all_empty && s.empty();
    if (all_empty) return m;
    std::vector<std::size_t> wrapped, rising;
    for (std::size_t i = 0; i < l.size(); ++i) {
      if (l[i].empty()) continue;
      if (l[i].back() < l[i].front()) wrapped.push_back(i);
      if (l[i].front() < l[i].back()) rising.push_back(i);
    }
    std::vector<std::pair<std::size_t, std::uint16_t>> cands;
    if (!wrapped.empty() && !rising.empty()) {
      for (std::size_t w : wrapped) {
        const std::uint16_t h = l[w].front();
        for (std::size_t r : rising) {
          if (std::find(l[r].begin(), l[r].end(), h) != l[r].end()) break;
          cands.emplace_back(w, h);
        }
      }
    }
    if (cands.empty())
      for (std::size_t i = 0; i < l.size(); ++i)
        if (!l[i].empty()) cands.emplace_back(i, l[i].front());
    std::uint16_t e = cands[0].second;
    for (const auto& c : cands) e = std::min(e, c.second);
    if (m.empty() || m.back() != e) m.push_back(e);
    std::erase_if(l, [](const auto& s) { return s.empty(); });
    for (auto& s : l)
      if (s.front() == e) s.pop_front();
  }
}

TEST(MergeWindowLabels, Examples) {
  const std::pair<Labels, std::vector<std::uint16_t>> cases[] = {
      {{{5, 6, 7}, {6, 7, 8}}, {5, 6, 7, 8}},
      {{{510, 511, 0, 1}, {511, 0, 1, 2}}, {510, 511, 0, 1, 2}},
      {{{510, 511, 0, 1}, {0, 1, 2, 3}}, {510, 511, 0, 1, 2, 3}},
      {{{6, 7, 0}, {0, 1, 2}, {5, 6, 7}}, {6, 7, 0, 1, 2, 5, 6, 7}},
      {{{2, 1}, {1, 2}}, {1, 2, 1}},
      {{{4, 4}, {4}}, {4}},
      {{{3}, {}, {3}}, {3}},
      {{}, {}},
      {{{}, {}}, {}},
      {{{3, 4}, {4}}, {3, 4}},
  };
  for (const auto& [labels, expected] : cases) {
    std::ostringstream name;
    for (const auto& s : labels) {
      name << '[';
      for (auto v : s) name << v << ' ';
      name << ']';
    }
    EXPECT_EQ(merge_window_labels(labels), expected) << name.str();
    EXPECT_EQ(literal_merge(labels), expected) << "reference " << name.str();
  }
}

TEST(MergeWindowLabels, AgreesWithLiteralAlgorithmOnRandomEvents) {
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    const int ring = 2 + static_cast<int>(rng() % 12);
    Labels labels(1 + rng() % 5);
    for (auto& s : labels) {
      const int kind = static_cast<int>(rng() % 3);
      const int len = static_cast<int>(rng() % (round < 2900 ? 10 : 150));
      std::uint16_t start = static_cast<std::uint16_t>(rng() % ring);
      for (int i = 0; i < len; ++i) {
        if (kind == 0) s.push_back(static_cast<std::uint16_t>((start + i) % ring));  // ring rotation
        else if (kind == 1) s.push_back(static_cast<std::uint16_t>(rng() % ring));   // anything
        else s.push_back(static_cast<std::uint16_t>((start + i / 2) % ring));        // repeats
      }
    }
    ASSERT_EQ(merge_window_labels(labels), literal_merge(labels)) << "round " << round;
  }
}

TEST(CsvLayout, FourRowFile) {
  const std::vector<EventRecord> records{record(8, {{0, {3, 4}, {1.04f, 2.06f, 3.0f, -0.04f}, {0, 1, 2, 3}, {}},
                                                    {1, {4}, {5.55f, 6.0f}, {0, 1}, {}}})};
  EXPECT_EQ(export_text(records, params_with_samples(2)),
            "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch1,data_ch1,time_ch1\n"
            "0,0,3,1,0,,,\n"
            "0,0,3,2.1,1,,,\n"
            "0,0,4,3,2,4,5.6,0\n"
            "0,0,4,-0,3,4,6,1\n");
}

TEST(CsvLayout, FileWideChannelsAndPositions) {
  // Channels 1 and 3 appear in different events: every row has both groups; evt_num counts the
  // records of the file; an empty record list gives only the header.
  const std::vector<EventRecord> records{
      record(4, {{3, {7}, {1, 2}, {0, 1}, {}}}),
      record(4, {{1, {0, 1}, {5, 6, 7, 8}, {0, 1, 2, 3}, {}}}),
      record(4, {}),
      record(4, {{1, {2}, {NAN, 9}, {0, 1}, {}}}),
  };
  EXPECT_EQ(export_text(records, params_with_samples(2)),
            "acq_num,evt_num,windnum_ch1,data_ch1,time_ch1,windnum_ch3,data_ch3,time_ch3\n"
            "0,0,,,,7,1,0\n"
            "0,0,,,,7,2,1\n"
            "0,1,0,5,0,,,\n"
            "0,1,0,6,1,,,\n"
            "0,1,1,7,2,,,\n"
            "0,1,1,8,3,,,\n"
            "0,3,2,,0,,,\n"
            "0,3,2,9,1,,,\n");
  EXPECT_EQ(export_text({}, params_with_samples(2)), "acq_num,evt_num\n");
  // Labels without samples still give the event its rows.
  EXPECT_EQ(export_text({record(2, {{0, {1}, {}, {}, {}}})}, params_with_samples(2)),
            "acq_num,evt_num\n0,0\n0,0\n");
}

TEST(CsvLayout, WrappedChannelsShareRows) {
  // M = [510, 511, 0, 1, 2]: channel 0 starts at row 0, channel 1 at the row of 511.
  const std::vector<EventRecord> records{record(2, {{0, {510, 511, 0, 1}, {1, 2, 3, 4}, {0, 1, 2, 3}, {}},
                                                    {1, {511, 0, 1, 2}, {5, 6, 7, 8}, {0, 1, 2, 3}, {}}})};
  EXPECT_EQ(export_text(records, params_with_samples(1)),
            "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch1,data_ch1,time_ch1\n"
            "0,0,510,1,0,,,\n"
            "0,0,511,2,1,511,5,0\n"
            "0,0,0,3,2,0,6,1\n"
            "0,0,1,4,3,1,7,2\n"
            "0,0,,,,2,8,3\n");
}

TEST(CsvLayout, BrisaTimingColumns) {
  const std::vector<EventRecord> records{
      record(3, {{0, {2}, {5, 6}, {0, 1}, {3}}, {2, {7, 8}, {10, 11, 12, 13}, {4, 5, 6, 7}, {70000, 16777217}}},
             true)};
  EXPECT_EQ(export_text(records, params_with_samples(2), Family::Brisav1),
            "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,timing_ch0,windnum_ch2,data_ch2,time_ch2,timing_ch2\n"
            "0,0,2,5,0,3,,,,\n"
            "0,0,2,6,1,3,,,,\n"
            "0,0,,,,,7,10,4,70000\n"
            "0,0,,,,,7,11,5,70000\n"
            "0,0,,,,,8,12,6,16777216\n"
            "0,0,,,,,8,13,7,16777216\n");
}

TEST(CsvLayout, BadChannelLines) {
  struct Case {
    const char* name;
    std::uint64_t samples;
    std::vector<EventRecord> records;
    const char* stdout_text;
    const char* csv;
  };
  const std::vector<float> twelve(12, 1.0f);
  const std::vector<std::uint16_t> twelve_t{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const Case cases[] = {
      {"runs past the rows",
       4,
       {record(6, {{0, {1, 2, 3}, twelve, twelve_t, {}}, {5, {3, 3, 3}, twelve, twelve_t, {}}})},
       "Bad channel 5 at Event 0\n",
       nullptr},
      {"no samples per window",
       0,
       {record(6, {{0, {1}, {1}, {0}, {}}, {2, {1}, {2}, {0}, {}}}), record(6, {{2, {1}, {3}, {0}, {}}})},
       "Bad channel 0 at Event 0\nBad channel 2 at Event 0\nBad channel 2 at Event 1\n",
       "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch2,data_ch2,time_ch2\n"},
      {"samples without labels while the event has labels",
       1,
       {record(3, {{0, {4}, {1}, {0}, {}}, {1, {}, {2}, {0}, {}}})},
       "Bad channel 1 at Event 0\n",
       "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch1,data_ch1,time_ch1\n0,0,4,1,0,,,\n"},
      {"no labels in the whole event",
       1,
       {record(2, {{1, {}, {2}, {0}, {}}})},
       "Bad channel 1 at Event 0\n",
       "acq_num,evt_num,windnum_ch1,data_ch1,time_ch1\n"},
  };
  for (const Case& c : cases) {
    std::string csv;
    const std::string out = capture_fd1([&] { csv = export_text(c.records, params_with_samples(c.samples)); });
    EXPECT_EQ(out, c.stdout_text) << c.name;
    if (c.csv != nullptr) {
      EXPECT_EQ(csv, c.csv) << c.name;
    }
  }
  // The first case: channel 0 fills its 12 rows, channel 5 stays empty in all of them.
  std::string csv;
  capture_fd1([&] { csv = export_text(cases[0].records, params_with_samples(4)); });
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  int rows = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line, "0,0," + std::to_string(1 + rows / 4) + ",1," + std::to_string(rows) + ",,,") << rows;
    ++rows;
  }
  EXPECT_EQ(rows, 12);
}

TEST(CsvLayout, RecordsThatBreakTheShape) {
  // None of these may crash. Samples are placed by their own count; a label, time index or
  // timing value the record lacks leaves its cell empty.
  EventRecord no_time(1);
  no_time.data[0] = {1, 2, 3, 4};
  no_time.window_labels[0] = {5, 6};
  no_time.time.clear();
  EventRecord few_labels = record(2, {{0, {5}, {1, 2, 3, 4}, {0, 1, 2, 3}, {}}, {1, {5, 6}, {}, {}, {}}});
  EventRecord short_outer(1);  // the file's channel 2 lies beyond this record's entries
  const EventRecord with_ch2 = record(3, {{2, {1}, {9, 9}, {0, 1}, {}}});
  struct Case {
    const char* name;
    std::vector<EventRecord> records;
    Family family;
    const char* csv;
  };
  const Case cases[] = {
      {"time missing", {no_time}, Family::Telkv3,
       "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n0,0,5,1,\n0,0,5,2,\n0,0,6,3,\n0,0,6,4,\n"},
      {"fewer labels than windows of samples", {few_labels}, Family::Telkv3,
       "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n0,0,5,1,0\n0,0,5,2,1\n0,0,,3,2\n0,0,,4,3\n"},
      {"channel beyond the record's entries", {with_ch2, short_outer}, Family::Telkv3,
       "acq_num,evt_num,windnum_ch2,data_ch2,time_ch2\n0,0,1,9,0\n0,0,1,9,1\n"},
      {"brisav1 record without timing", {record(1, {{0, {5}, {1, 2}, {0, 1}, {}}})}, Family::Brisav1,
       "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,timing_ch0\n0,0,5,1,0,\n0,0,5,2,1,\n"},
  };
  for (const Case& c : cases) {
    std::string csv;
    const std::string out = capture_fd1([&] { csv = export_text(c.records, params_with_samples(2), c.family); });
    EXPECT_EQ(csv, c.csv) << c.name;
    EXPECT_EQ(out, "") << c.name;
  }
}

// Records of any shape, consistent or not: the file must stay a table (every line with the
// header's field count) and nothing may be read out of bounds (run under the sanitizers).
TEST(CsvLayout, RandomShapesKeepTheTable) {
  std::mt19937 rng(5);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int devnull = ::open("/dev/null", O_WRONLY);
  for (int round = 0; round < 1500; ++round) {
    const bool brisa = pick(2) == 0;
    std::vector<EventRecord> records;
    for (int e = pick(4); e > 0; --e) {
      EventRecord r(static_cast<std::size_t>(pick(5)));
      r.window_labels.resize(static_cast<std::size_t>(pick(6)));
      r.time.resize(static_cast<std::size_t>(pick(6)));
      if (brisa && pick(3) != 0) r.timing.emplace(static_cast<std::size_t>(pick(6)));
      for (auto& x : r.data)
        for (int i = pick(10); i > 0; --i) x.push_back(static_cast<float>(pick(2000)) / 7.0f - 100.0f);
      for (auto& l : r.window_labels)
        for (int i = pick(5); i > 0; --i) l.push_back(static_cast<std::uint16_t>(pick(2) ? pick(6) : 65535 - pick(3)));
      for (auto& t : r.time)
        for (int i = pick(10); i > 0; --i) t.push_back(static_cast<std::uint16_t>(pick(70000)));
      if (r.timing)
        for (auto& t : *r.timing)
          for (int i = pick(4); i > 0; --i) t.push_back(static_cast<std::uint32_t>(rng()));
      records.push_back(std::move(r));
    }
    StringSink sink;
    ASSERT_TRUE(export_csv(records, sink, params_with_samples(static_cast<std::uint64_t>(pick(4))),
                           brisa ? Family::Brisav1 : Family::Telkv3, devnull)
                    .has_value());
    std::istringstream lines(sink.text);
    std::string line;
    std::getline(lines, line);
    const auto fields = std::count(line.begin(), line.end(), ',');
    while (std::getline(lines, line)) ASSERT_EQ(std::count(line.begin(), line.end(), ','), fields) << round;
  }
  ::close(devnull);
}

class FailingSink final : public CsvSink {
 public:
  std::size_t accepted = 0;
  std::size_t budget;
  explicit FailingSink(std::size_t b) : budget(b) {}
  std::expected<void, CsvWriteError> write(const char*, std::size_t len) override {
    if (len > budget) return std::unexpected(CsvWriteError{ENOSPC});
    budget -= len;
    accepted += len;
    return {};
  }
};

TEST(CsvLayout, WriteFailuresAreReported) {
  // A large event overflows the buffer several times; the sink fails on the second write.
  std::vector<float> data(400000, 12345.6f);
  std::vector<std::uint16_t> time(400000, 7);
  std::vector<std::uint16_t> labels(400000 / 4);
  for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = static_cast<std::uint16_t>(i % 1000);
  const std::vector<EventRecord> records{record(1, {{0, labels, data, time, {}}})};
  FailingSink sink(CsvWriter::DEFAULT_CAPACITY + 10);
  auto r = export_csv(records, sink, params_with_samples(4), Family::Telkv3);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().error_number, ENOSPC);
  EXPECT_LE(sink.accepted, CsvWriter::DEFAULT_CAPACITY);

  // A small file fails only at the final flush, which is reported as well.
  int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  FdSink dev_full(full);
  auto small = export_csv({}, dev_full, params_with_samples(4), Family::Telkv3);
  ::close(full);
  ASSERT_FALSE(small.has_value());
  EXPECT_EQ(small.error().error_number, ENOSPC);
  EXPECT_EQ(small.error().text(), "No space left on device (os error 28)");
}

}  // namespace
}  // namespace tavroacq
