#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "parser_cases.h"
#include "parsing/morvanev3.h"
#include "parsing/telkv3.h"
#include "parsing/telkv3s.h"
#include "parsing/util.h"
#include "parsing/vexoc.h"
#include "parsing/vexv2.h"

namespace tavroacq {
namespace {

using testing::be_bytes;
using testing::make_params;
using testing::Words;
using Labels = std::vector<std::vector<std::uint16_t>>;

YamlValue of_kind(YamlValue::Kind kind) {
  YamlValue v;
  v.kind = kind;
  return v;
}

TEST(UintParam, ValuesAndDefaults) {
  YamlValue negative = of_kind(YamlValue::Kind::Int);
  negative.sint = -5;
  YamlValue fractional = of_kind(YamlValue::Kind::Float);
  fractional.number = 8191.0;
  YamlValue boolean = of_kind(YamlValue::Kind::Bool);
  boolean.boolean = true;
  YamlValue sequence = of_kind(YamlValue::Kind::Sequence);
  sequence.items.push_back(YamlValue::of_uint(3));
  YamlValue mapping = of_kind(YamlValue::Kind::Mapping);
  mapping.entries.push_back({YamlValue::of_string("a"), YamlValue::of_uint(3)});

  const struct {
    const char* row;
    std::optional<YamlValue> value;  // absent key when empty
    std::uint64_t expected;
  } cases[] = {
      {"absent", std::nullopt, 77},
      {"integer", YamlValue::of_uint(8191), 8191},
      {"zero", YamlValue::of_uint(0), 0},
      {"largest", YamlValue::of_uint(UINT64_MAX), UINT64_MAX},
      {"negative", negative, 77},
      {"float", fractional, 77},
      {"string of digits", YamlValue::of_string("8191"), 77},
      {"boolean", boolean, 77},
      {"null", of_kind(YamlValue::Kind::Null), 77},
      {"sequence", sequence, 77},
      {"mapping", mapping, 77},
  };
  for (const auto& c : cases) {
    Params p = make_params("telkv3", 1, 1, 1);
    p.additional.emplace_back("other", YamlValue::of_uint(5));
    if (c.value) p.additional.emplace_back("key", *c.value);
    EXPECT_EQ(uint_param(p, "key", 77), c.expected) << c.row;
  }
  // Keys match by exact text only.
  Params p = make_params("telkv3", 1, 1, 1, {{"Key", 1}, {"key ", 2}});
  EXPECT_EQ(uint_param(p, "key", 77), 77u);
}

TEST(SetTimeAxis, Cases) {
  const struct {
    const char* row;
    std::uint64_t channels, windows, samples;
    Labels labels;
    Labels time_before;  // the record's time entries before the call
    Labels expected;
  } cases[] = {
      {"ring wraps once", 1, 8, 2, {{5, 6, 0, 1}}, {{}}, {{0, 1, 2, 3, 6, 7, 8, 9}}},
      {"one label", 1, 8, 4, {{3}}, {{}}, {{0, 1, 2, 3}}},
      {"no labels leaves time empty", 2, 8, 4, {{}, {2}}, {{}, {}}, {{}, {0, 1, 2, 3}}},
      {"repeated label", 1, 8, 2, {{4, 4}}, {{}}, {{0, 1, 0, 1}}},
      {"zero samples", 1, 8, 0, {{1, 2}}, {{}}, {{}}},
      {"windows used modulo 2^32", 1, (1ull << 32) + 3, 1, {{2, 0}}, {{}}, {{0, 1}}},
      {"appends to existing values", 1, 8, 1, {{1, 2}}, {{9}}, {{9, 0, 1}}},
      {"channels beyond C are left alone", 1, 8, 1, {{1}, {1}}, {{}, {}}, {{0}, {}}},
      {"time entry missing for a channel without labels", 2, 8, 1, {{1}, {}}, {{}}, {{0}}},
  };
  for (const auto& c : cases) {
    Params p = make_params("telkv3", c.channels, c.windows, c.samples);
    Labels time = c.time_before;
    ASSERT_TRUE(set_time_axis(time, c.labels, p)) << c.row;
    EXPECT_EQ(time, c.expected) << c.row;
  }

  // Values are 16-bit: labels [1, 0] with S = 40000 and W = 4 put the second window at
  // 3·40000 modulo 65536.
  Labels time{{}};
  ASSERT_TRUE(set_time_axis(time, Labels{{1, 0}}, make_params("telkv3", 1, 4, 40000)));
  ASSERT_EQ(time[0].size(), 80000u);
  EXPECT_EQ(time[0][39999], 39999);
  EXPECT_EQ(time[0][40000], static_cast<std::uint16_t>(3 * 40000));
  EXPECT_EQ(time[0][79999], static_cast<std::uint16_t>(3 * 40000 + 39999));
}

TEST(SetTimeAxis, MissingEntriesFail) {
  const struct {
    const char* row;
    std::uint64_t channels;
    Labels labels;
    Labels time;
  } cases[] = {
      {"more channels than label entries", 3, {{1}, {1}}, {{}, {}, {}}},
      {"more channels than label entries, all empty", 2, {{}}, {{}, {}}},
      {"labels but no time entry", 2, {{1}, {1}}, {{}}},
  };
  for (const auto& c : cases) {
    Labels time = c.time;
    auto r = set_time_axis(time, c.labels, make_params("telkv3", c.channels, 8, 2));
    ASSERT_FALSE(r) << c.row;
    EXPECT_EQ(r.error(), ParsingError::Kind::MissingData) << c.row;
  }
}

TEST(BeWords, PairsBytesBigEndian) {
  const struct {
    const char* row;
    std::vector<std::uint8_t> bytes;
    Words expected;
  } cases[] = {
      {"empty", {}, {}},
      {"one odd byte", {0x12}, {}},
      {"even", {0x12, 0x34, 0xAB, 0xCD}, {0x1234, 0xABCD}},
      {"odd: final byte ignored", {0x12, 0x34, 0xAB, 0xCD, 0xEF}, {0x1234, 0xABCD}},
  };
  for (const auto& c : cases) EXPECT_EQ(be_words(c.bytes), c.expected) << c.row;
}

TEST(Dispatch, AcceptedModels) {
  const std::pair<std::string_view, Family> accepted[] = {
      {"telkv3", Family::Telkv3},          {"telkv3s", Family::Telkv3S},
      {"morvanev3", Family::Morvanev3},    {"brisav2_eval", Family::Brisav1},
      {"brisav1_evalr2", Family::Brisav1}, {"brisav2_evalr1", Family::Brisav1},
      {"brisav2_evalr2", Family::Brisav1}, {"skiv16", Family::Skiv16},
      {"orra96", Family::Orra96},          {"vexoc_vex", Family::Vexoc},
      {"vexoc_telk", Family::Vexoc},       {"vexv2", Family::Vexv2},
      {"dunlin", Family::Dunlinv1},
  };
  for (auto [model, family] : accepted) {
    auto got = family_for_model(model);
    ASSERT_TRUE(got.has_value()) << model;
    EXPECT_EQ(*got, family) << model;
  }
}

TEST(Dispatch, RejectedModels) {
  using namespace std::string_view_literals;
  const std::string_view rejected[] = {
      "brisav1", "dunlinv1", "", "telkv3S", "Telkv3", "TELKV3", " telkv3", "telkv3 ", "telkv", "vexoc",
      "vexv2\0"sv, "brisav2_evalr3", "skiv16\n",
  };
  const Words some_telkv3 = {0, 0, 0, 0x0202, 1, 2, 0};
  for (auto model : rejected) {
    EXPECT_FALSE(family_for_model(model).has_value()) << "'" << model << "'";
    for (const auto& packet : {std::vector<std::uint8_t>{}, be_bytes(some_telkv3)}) {
      auto r = parse_event(packet, make_params(std::string(model), 4, 8, 2));
      ASSERT_FALSE(r) << "'" << model << "'";
      EXPECT_EQ(r.error(), ParsingError::Kind::UnsupportedBoardModel) << "'" << model << "'";
    }
  }
}

// The dispatch runs the family's own parser: same record, same error.
template <class E>
void expect_dispatched(const std::string& model, const Words& words, const Params& base) {
  Params p = base;
  p.model = model;
  auto direct = ParseInto<E>::parse_into(be_bytes(words), p);
  auto dispatched = parse_event(be_bytes(words), p);
  ASSERT_EQ(direct.has_value(), dispatched.has_value()) << model;
  if (!direct) {
    EXPECT_EQ(direct.error(), dispatched.error()) << model;
    return;
  }
  EXPECT_FALSE(direct->data.empty() || direct->data == std::vector<std::vector<float>>(direct->data.size()))
      << model << ": the packet should give samples";
  testing::expect_same_record(*direct, *dispatched, model);
}

TEST(Dispatch, RunsTheFamilyParser) {
  const Params p4 = make_params("", 4, 8, 2);
  const Params p8 = make_params("", 8, 8, 2);
  const Words telkv3 = {0, 0, 0, 0x0202, 10, 20, 0x0404, 30, 40, 0};
  const Words telkv3_bad_channel = {0, 0, 0, 0x0602, 10, 20, 0};
  const Words telkv3s = {0, 0, 0, 0x0005, 10, 11, 0x0105, 12, 13, 0, 0, 0, 0, 0, 0, 0};  // 32 bytes: 2 × 2
  const Words morvanev3 = {0, 0, 0, 0x0002, 10, 12, 0x0404, 14, 16, 0, 0};                // 22 bytes: 2 × 1
  const Words vexoc = {0x1000, 0, 0, 0x0105, 10, 20, 0xFFFF};
  expect_dispatched<Telkv3Event>("telkv3", telkv3, p4);
  expect_dispatched<Vexv2Event>("vexv2", telkv3, p4);
  expect_dispatched<Telkv3Event>("telkv3", telkv3_bad_channel, make_params("", 2, 8, 2));
  expect_dispatched<Vexv2Event>("vexv2", telkv3_bad_channel, make_params("", 2, 8, 2));
  expect_dispatched<Telkv3SEvent>("telkv3s", telkv3s, make_params("", 2, 4, 2));
  expect_dispatched<Morvanev3Event>("morvanev3", morvanev3, make_params("", 2, 4, 2));
  expect_dispatched<VexocEvent>("vexoc_vex", vexoc, p8);
  expect_dispatched<VexocEvent>("vexoc_telk", vexoc, p8);
}

// Strings that share a parser give identical records from identical packets.
TEST(Dispatch, SharedParsersGiveIdenticalRecords) {
  const struct {
    std::string a, b;
    Words words;
    Params params;
  } cases[] = {
      {"vexoc_vex", "vexoc_telk", {0x0000, 0, 0, 0x0001, 7, 8, 0xFFFF, 0x1000, 0, 0, 0x0100, 9, 9, 0xFFFF},
       make_params("", 8, 8, 2)},
      {"telkv3", "vexv2", {0, 0, 0, 0x0202, 10, 20, 0x0404, 30, 40, 0x0206, 1, 2, 0x0408, 3, 4, 0},
       make_params("", 4, 8, 2)},
  };
  for (const auto& c : cases) {
    Params pa = c.params, pb = c.params;
    pa.model = c.a;
    pb.model = c.b;
    auto ra = parse_event(be_bytes(c.words), pa);
    auto rb = parse_event(be_bytes(c.words), pb);
    ASSERT_TRUE(ra && rb) << c.a << " / " << c.b;
    testing::expect_same_record(*ra, *rb, c.a + " / " + c.b);
  }
}

}  // namespace
}  // namespace tavroacq
