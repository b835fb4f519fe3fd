#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "parsing/length_layout.h"

namespace tavroacq {
namespace {

using length_layout::Layout;
using length_layout::LengthTable;

}  // namespace

namespace length_layout {
void PrintTo(const Layout& l, std::ostream* os) { *os << "(n=" << l.channels << ", u=" << l.windows << ")"; }
}  // namespace length_layout

namespace {

// The length table listed in full, keys wrapping at 2^64, and the choice made on it: the
// reference the direct search must agree with.
std::optional<Layout> choose_by_listing(const LengthTable& t, std::uint64_t length, std::uint64_t h, std::uint64_t x) {
  if (t.windows < 2 || t.channels == 0) return std::nullopt;
  std::map<std::uint64_t, std::vector<Layout>> table;
  for (std::uint64_t u = 1; u < t.windows; ++u)
    for (std::uint64_t n = 1; n <= t.channels; ++n)
      table[2 * (u * (n * t.block + t.window_extra) + t.overhead)].push_back({n, u});
  auto it = table.find(length);
  if (it == table.end()) return std::nullopt;
  auto list = it->second;
  std::stable_sort(list.begin(), list.end(), [](Layout a, Layout b) { return a.channels > b.channels; });
  if (list.size() == 1) return list[0];
  if (length < 2 * static_cast<unsigned __int128>(h)) return std::nullopt;
  for (auto c : list) {
    const unsigned __int128 m = static_cast<unsigned __int128>(c.channels) * t.block + x;
    if (m > 0 && length >= 2 * (static_cast<unsigned __int128>(h) + m)) return c;
  }
  return std::nullopt;
}

std::string describe(const LengthTable& t, std::uint64_t length, std::uint64_t h, std::uint64_t x) {
  std::ostringstream s;
  s << "C=" << t.channels << " Wn=" << t.windows << " B=" << t.block << " Y=" << t.window_extra
    << " overhead=" << t.overhead << " H=" << h << " X=" << x << " length=" << length;
  return s.str();
}

TEST(LengthLayout, Cases) {
  const struct {
    const char* row;
    LengthTable table;
    std::uint64_t length, h, x;
    std::optional<Layout> expected;
  } cases[] = {
      {"single candidate", {2, 4, 3, 0, 4}, 14, 3, 0, Layout{1, 1}},
      {"tie: more channels first", {2, 4, 3, 0, 4}, 20, 3, 0, Layout{2, 1}},
      {"tie: more channels does not fit", {2, 4, 3, 0, 4}, 20, 3, 2, Layout{1, 2}},
      {"tie: nothing fits", {2, 4, 3, 0, 4}, 20, 3, 5, std::nullopt},
      {"tie: equal channels, fewest windows first", {1, 8, 0, 0, 1}, 2, 0, 1, Layout{1, 1}},
      {"tie: zero-sized windows never fit", {1, 8, 0, 0, 1}, 2, 0, 0, std::nullopt},
      {"tie: shorter than the event headers", {2, 4, 3, 0, (std::uint64_t{1} << 63) + 4}, 20, 11, 0, std::nullopt},
      {"single candidate taken although it does not fit", {2, 4, 3, 0, 4}, 14, 3, 100, Layout{1, 1}},
      {"window count Wn is not in the table", {1, 4, 3, 0, 4}, 32, 3, 0, std::nullopt},
      {"one window: empty table", {4, 1, 3, 0, 4}, 14, 3, 0, std::nullopt},
      {"no channels: empty table", {0, 4, 3, 0, 4}, 14, 3, 0, std::nullopt},
      {"key wraps at 2^64", {1, 4, 3, std::uint64_t{1} << 63, 4}, 20, 3, 0, Layout{1, 2}},
      {"huge window count", {2, UINT64_MAX, 3, 0, 4}, 2 * (1000 * 6 + 4), 3, 0, Layout{2, 1000}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.table.choose(c.length, c.h, c.x), c.expected) << c.row;
    if (c.table.windows <= 64) {
      EXPECT_EQ(choose_by_listing(c.table, c.length, c.h, c.x), c.expected) << c.row << " (reference)";
    }
  }
}

// The direct search agrees with the listed table on every length the table holds and on others,
// including settings whose keys wrap.
TEST(LengthLayout, AgreesWithTheListedTable) {
  std::mt19937_64 rng(12345);
  const std::uint64_t huge[] = {std::uint64_t{1} << 63, (std::uint64_t{1} << 63) + 3, UINT64_MAX, UINT64_MAX - 5,
                                std::uint64_t{1} << 62};
  auto pick = [&](std::uint64_t small_max) {
    return rng() % 6 == 0 ? huge[rng() % std::size(huge)] : rng() % (small_max + 1);
  };
  for (int round = 0; round < 3000; ++round) {
    LengthTable t{rng() % 7, rng() % 10, pick(5), pick(3), pick(8)};
    if (t.block == 0 && rng() % 2) t.block = 1;
    const std::uint64_t h = pick(6), x = pick(4);
    std::vector<std::uint64_t> lengths;
    for (std::uint64_t u = 1; u < t.windows; ++u)
      for (std::uint64_t n = 1; n <= t.channels; ++n)
        lengths.push_back(2 * (u * (n * t.block + t.window_extra) + t.overhead));
    for (int k = 0; k < 5; ++k) lengths.push_back(2 * (rng() % 100));
    for (auto length : lengths)
      ASSERT_EQ(t.choose(length, h, x), choose_by_listing(t, length, h, x)) << describe(t, length, h, x);
  }
}

}  // namespace
}  // namespace tavroacq
