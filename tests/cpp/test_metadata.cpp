#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <cstdio>
#include <string>
#include <vector>

#include "acquisition.h"
#include "acquisition/metadata.h"
#include "acquisition/yaml_document.h"
#include "parsing/util.h"
#include "test_support.h"

namespace tavroacq {

// Readable failure messages for values.
void PrintTo(const YamlValue& v, std::ostream* os) {
  switch (v.kind) {
    case YamlValue::Kind::Null: *os << "null"; break;
    case YamlValue::Kind::Bool: *os << (v.boolean ? "true" : "false"); break;
    case YamlValue::Kind::UInt: *os << "uint " << v.uint; break;
    case YamlValue::Kind::Int: *os << "int " << v.sint; break;
    case YamlValue::Kind::Float: *os << "float " << v.number; break;
    case YamlValue::Kind::String: *os << "string \"" << v.text << "\""; break;
    case YamlValue::Kind::Sequence:
      *os << "[";
      for (const auto& item : v.items) PrintTo(item, os), *os << ", ";
      *os << "]";
      break;
    case YamlValue::Kind::Mapping:
      *os << "{";
      for (const auto& e : v.entries) PrintTo(e.key, os), *os << ": ", PrintTo(e.value, os), *os << ", ";
      *os << "}";
      break;
  }
}
void PrintTo(const YamlEntry& e, std::ostream* os) {
  PrintTo(e.key, os);
  *os << ": ";
  PrintTo(e.value, os);
}

namespace {

using testing::Bytes;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;
using Kind = YamlValue::Kind;

// ---- YAML values for expectations ---------------------------------------------------------------

YamlValue null_v() { return YamlValue{}; }
YamlValue u(std::uint64_t v) { return YamlValue::of_uint(v); }
YamlValue s(std::string v) { return YamlValue::of_string(std::move(v)); }
YamlValue i(std::int64_t v) {
  YamlValue y;
  y.kind = Kind::Int;
  y.sint = v;
  return y;
}
YamlValue f(double v) {
  YamlValue y;
  y.kind = Kind::Float;
  y.number = v;
  return y;
}
YamlValue b(bool v) {
  YamlValue y;
  y.kind = Kind::Bool;
  y.boolean = v;
  return y;
}
YamlValue seq(std::vector<YamlValue> items) {
  YamlValue y;
  y.kind = Kind::Sequence;
  y.items = std::move(items);
  return y;
}
YamlValue map(std::vector<YamlEntry> entries) {
  YamlValue y;
  y.kind = Kind::Mapping;
  y.entries = std::move(entries);
  return y;
}

const std::string kParams = "params:\n  model: telkv3\n  channels: 4\n  windows: 64\n  samples: 32\n";
// A valid document with `extra` appended to the params mapping (indented by two spaces).
std::string with_param(const std::string& extra) { return kParams + "  " + extra + "\nregisters:\n"; }

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }
YamlValue nested_value(std::size_t depth) {
  YamlValue v = seq({});
  for (std::size_t d = 1; d < depth; ++d) v = seq({std::move(v)});
  return v;
}

// ---- The schema ------------------------------------------------------------------------------------

struct Accepted {
  const char* name;
  std::string text;
  std::string model;
  std::uint64_t channels, windows, samples;
  std::vector<std::pair<std::string, YamlValue>> additional;
  std::vector<YamlEntry> registers;
};

TEST(DeserializeMetadata, AcceptedDocuments) {
  const Accepted cases[] = {
      {"minimal with an empty registers value", kParams + "registers:\n", "telkv3", 4, 64, 32, {}, {}},
      {"the example document",
       kParams + "  databitmask: 0x1FFF\nregisters: {}\n",
       "telkv3", 4, 64, 32, {{"databitmask", u(8191)}}, {}},
      {"named keys in hex, octal, binary and with a plus sign",
       "params: {model: m, channels: 0x10, windows: 0o17, samples: 0b101}\nregisters:\n", "m", 16, 15, 5, {}, {}},
      {"plus sign and the largest 64-bit value",
       "params: {model: m, channels: +7, windows: 18446744073709551615, samples: 0}\nregisters:\n", "m", 7,
       UINT64_MAX, 0, {}, {}},
      {"an explicitly int-tagged quoted number",
       "params: {model: m, channels: !!int \"4\", windows: 1, samples: 1}\nregisters:\n", "m", 4, 1, 1, {}, {}},
      {"model written as a number is its text",
       "params: {model: 0x10, channels: 1, windows: 1, samples: 1}\nregisters:\n", "0x10", 1, 1, 1, {}, {}},
      {"model empty is the empty text", "params:\n  model:\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
       "", 1, 1, 1, {}, {}},
      {"model quoted", "params: {model: 'vex: v2', channels: 1, windows: 1, samples: 1}\nregisters:\n", "vex: v2",
       1, 1, 1, {}, {}},
      {"additional keys keep document order",
       with_param("c: 1\n  a: [x, 2]\n  b: {k: ~}"), "telkv3", 4, 64, 32,
       {{"c", u(1)}, {"a", seq({s("x"), u(2)})}, {"b", map({{s("k"), null_v()}})}}, {}},
      {"named keys in any position among additional ones",
       "params:\n  z: 1\n  samples: 3\n  model: m\n  y: 2\n  windows: 2\n  channels: 1\nregisters:\n", "m", 1, 2, 3,
       {{"z", u(1)}, {"y", u(2)}}, {}},
      {"a params key written as a number is its text", with_param("7: x"), "telkv3", 4, 64, 32, {{"7", s("x")}}, {}},
      {"registers in document order with keys of any kind",
       kParams + "registers:\n  zeta: 1\n  0x10: two\n  [a, b]: {c: d}\n  alpha: ~\n", "telkv3", 4, 64, 32, {},
       {{s("zeta"), u(1)},
        {u(16), s("two")},
        {seq({s("a"), s("b")}), map({{s("c"), s("d")}})},
        {s("alpha"), null_v()}}},
      {"top-level extras ignored, in any order",
       "first: [1, {x: y}]\nregisters: {}\nmiddle: !!str text\n" + kParams + "last:\n", "telkv3", 4, 64, 32, {}, {}},
      {"aliases followed into params, registers and named keys",
       "defs:\n  - &m telkv3\n  - &n 8\n  - &list [1, 2]\nparams:\n  model: *m\n  channels: *n\n  windows: 1\n"
       "  samples: 1\n  copy: *list\nregisters:\n  *m : *list\n",
       "telkv3", 8, 1, 1, {{"copy", seq({u(1), u(2)})}}, {{s("telkv3"), seq({u(1), u(2)})}}},
      {"the whole params mapping through an alias",
       "x: &p {model: m, channels: 1, windows: 2, samples: 3, k: v}\nparams: *p\nregisters:\n", "m", 1, 2, 3,
       {{"k", s("v")}}, {}},
      {"explicit document start and end markers", "---\n" + kParams + "registers:\n...\n", "telkv3", 4, 64, 32, {}, {}},
      {"byte-order mark and CRLF line ends",
       "\xEF\xBB\xBFparams:\r\n  model: m\r\n  channels: 1\r\n  windows: 1\r\n  samples: 1\r\nregisters:\r\n", "m",
       1, 1, 1, {}, {}},
      {"nesting at the limit", with_param("k: " + nested(kYamlMaxDepth - 2)), "telkv3", 4, 64, 32,
       {{"k", nested_value(kYamlMaxDepth - 2)}}, {}},
      {"JSON", R"({"params": {"model": "m", "channels": 1, "windows": 2, "samples": 3}, "registers": {}})", "m", 1, 2,
       3, {}, {}},
      {"a tab before a block scalar outside explicit keys", with_param("k:\t|\n    x"), "telkv3", 4, 64, 32,
       {{"k", s("x\n")}}, {}},
  };
  for (const auto& c : cases) {
    auto m = deserialize_metadata(c.text);
    ASSERT_TRUE(m.has_value()) << c.name << ": " << m.error().detail;
    EXPECT_EQ(m->params.model, c.model) << c.name;
    EXPECT_EQ(m->params.channels, c.channels) << c.name;
    EXPECT_EQ(m->params.windows, c.windows) << c.name;
    EXPECT_EQ(m->params.samples, c.samples) << c.name;
    EXPECT_EQ(m->params.additional, c.additional) << c.name;
    EXPECT_EQ(m->registers, c.registers) << c.name;
  }
}


std::string alias_bomb() {
  std::string text = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level <= 9; ++level) {
    text += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [";
    for (int k = 0; k < 10; ++k) text += (k ? ", *a" : "*a") + std::to_string(level - 1);
    text += "]\n";
  }
  return text + kParams + "  bomb: *a9\nregisters:\n";
}

TEST(DeserializeMetadata, RejectedDocuments) {
  struct Rejected {
    const char* name;
    std::string text;
    const char* detail;  // a part of the description naming the problem
  };
  const std::string named = "model: m, channels: 1, windows: 1, samples: 1";
  const Rejected cases[] = {
      {"empty text", "", "missing field `params`"},
      {"only comments", "# nothing\n", "missing field `params`"},
      {"missing params", "registers: {}\n", "missing field `params`"},
      {"missing registers", kParams, "missing field `registers`"},
      {"missing model", "params: {channels: 1, windows: 1, samples: 1}\nregisters:\n", "missing field `model`"},
      {"missing channels", "params: {model: m, windows: 1, samples: 1}\nregisters:\n", "missing field `channels`"},
      {"missing windows", "params: {model: m, channels: 1, samples: 1}\nregisters:\n", "missing field `windows`"},
      {"missing samples", "params: {model: m, channels: 1, windows: 1}\nregisters:\n", "missing field `samples`"},
      {"top level a sequence", "- params\n- registers\n", "expected a mapping"},
      {"top level null", "~\n", "expected a mapping"},
      {"params a sequence", "params: [1]\nregisters:\n", "expected a mapping for `params`"},
      {"registers a sequence", kParams + "registers: [a]\n", "expected a mapping for `registers`"},
      {"registers null written out", kParams + "registers: ~\n", "expected a mapping for `registers`"},
      {"registers a scalar", kParams + "registers: none\n", "expected a mapping for `registers`"},
      {"channels double-quoted", "params: {model: m, channels: \"4\", windows: 1, samples: 1}\nregisters:\n",
       "`channels`"},
      {"channels single-quoted", "params: {model: m, channels: '4', windows: 1, samples: 1}\nregisters:\n",
       "`channels`"},
      {"channels negative", "params: {model: m, channels: -1, windows: 1, samples: 1}\nregisters:\n", "`channels`"},
      {"channels fractional", "params: {model: m, channels: 1.5, windows: 1, samples: 1}\nregisters:\n", "`channels`"},
      {"channels 4.0", "params: {model: m, channels: 4.0, windows: 1, samples: 1}\nregisters:\n", "`channels`"},
      {"channels null", "params: {model: m, channels: null, windows: 1, samples: 1}\nregisters:\n", "`channels`"},
      {"channels empty", "params:\n  model: m\n  channels:\n  windows: 1\n  samples: 1\nregisters:\n", "`channels`"},
      {"channels a sequence", "params: {model: m, channels: [4], windows: 1, samples: 1}\nregisters:\n", "`channels`"},
      {"channels a boolean", "params: {model: m, channels: true, windows: 1, samples: 1}\nregisters:\n", "`channels`"},
      {"windows beyond 64 bits",
       "params: {model: m, channels: 1, windows: 18446744073709551616, samples: 1}\nregisters:\n", "`windows`"},
      {"samples hex beyond 64 bits",
       "params: {model: m, channels: 1, windows: 1, samples: 0x10000000000000000}\nregisters:\n", "`samples`"},
      {"samples a bare prefix", "params: {model: m, channels: 1, windows: 1, samples: 0x}\nregisters:\n", "`samples`"},
      {"samples with a float tag", "params: {model: m, channels: 1, windows: 1, samples: !!float 1}\nregisters:\n",
       "`samples`"},
      {"model a sequence", "params: {model: [m], channels: 1, windows: 1, samples: 1}\nregisters:\n", "`model`"},
      {"model a mapping", "params: {model: {a: b}, channels: 1, windows: 1, samples: 1}\nregisters:\n", "`model`"},
      {"a sequence as a params key", with_param("[a]: b"), "key of `params`"},
      {"duplicate model", "params: {" + named + ", model: n}\nregisters:\n", "duplicate entry with key `model`"},
      {"duplicate channels", "params: {" + named + ", channels: 1}\nregisters:\n",
       "duplicate entry with key `channels`"},
      {"duplicate additional key", with_param("k: 1\n  k: 2"), "duplicate entry with key `k`"},
      {"params keys equal as text", with_param("1: a\n  '1': b"), "duplicate entry with key `1`"},
      {"duplicate key in a nested additional mapping", with_param("k: {a: 1, b: 2, a: 3}"),
       "duplicate entry with key `a`"},
      {"duplicate registers key", kParams + "registers:\n  r: 1\n  s: 2\n  r: 3\n", "duplicate entry with key `r`"},
      {"registers keys equal as values", kParams + "registers: {16: a, 0x10: b}\n", "duplicate entry with key `0x10`"},
      {"duplicate key nested in registers", kParams + "registers:\n  r: {x: 1, x: 1}\n",
       "duplicate entry with key `x`"},
      {"duplicate sequence keys", kParams + "registers: {[a, 1]: x, [a, 1]: y}\n",
       "duplicate entry with key a sequence"},
      {"duplicate top-level key", kParams + "registers:\nparams: {}\n", "duplicate entry with key `params`"},
      {"a second document", kParams + "registers:\n---\nmore: 1\n", "second document"},
      {"a second empty document", kParams + "registers:\n---\n", "second document"},
      {"application tag on a scalar", with_param("k: !thing 1"), "unsupported tag `!thing`"},
      {"application tag on a mapping", with_param("k: !thing {a: 1}"), "unsupported tag"},
      {"application tag deep in a sequence", with_param("k: [1, [2, !thing 3]]"), "unsupported tag"},
      {"application tag in registers", kParams + "registers: {a: !x y}\n", "unsupported tag"},
      {"application tag in an ignored extra", kParams + "registers:\nextra: !x y\n", "unsupported tag"},
      {"a verbatim application tag", with_param("k: !<tag:example.com,2024:x> 1"), "unsupported tag"},
      {"a YAML tag outside the core schema", with_param("k: !!binary aGVsbG8="), "unsupported tag"},
      {"a timestamp tag", with_param("k: !!timestamp 2024-01-01"), "unsupported tag"},
      {"a core tag on the wrong kind", with_param("k: !!map [1]"), "unsupported tag"},
      {"an int tag on a word", with_param("k: !!int ten"), "invalid value"},
      {"a null tag on a word", with_param("k: !!null x"), "invalid value"},
      {"an unknown alias", with_param("k: *nowhere"), "unknown anchor"},
      {"an alias inside the node it names", with_param("k: &r [1, *r]"), "unknown anchor"},
      {"an alias bomb", alias_bomb(), "aliases expand to too many nodes"},
      {"10 MB of opening brackets", std::string(10u << 20, '['), "nesting deeper"},
      {"10 MB of opening braces after a key", "params: " + std::string(10u << 20, '{'), "nesting deeper"},
      {"flow nesting just over the limit", with_param("k: " + nested(kYamlMaxDepth - 1)), "nesting deeper"},
      {"block nesting over the limit",
       [] {
         std::string t = kParams + "  k:\n";
         for (std::size_t d = 0; d < 600; ++d) t += std::string(4 + d, ' ') + "-\n";
         return t + "registers:\n";
       }(),
       "nesting deeper"},
      {"nesting made deep by aliases",
       "a: &a " + nested(300) + "\nb: &b " + std::string(300, '[') + "*a" + std::string(300, ']') + "\n" + kParams +
           "registers:\n",
       "nesting deeper"},
      {"an unclosed flow mapping", kParams + "registers: {a: 1\n", ""},
      {"a tab-indented block", "params:\n\tmodel: m\n", ""},
      // libfyaml would crash once the parse failed (see yaml_document.cpp).
      {"a block entry after a tab inside an explicit key", "? a:\t- b\n" + kParams + "registers:\n",
       "a block node after a tab in an explicit key at line 1 column 6"},
      {"an explicit key after a tab, key on the line before", "?\n  T:\t?'x'\n", "a block node after a tab"},
      {"a block scalar after a tab inside an explicit key", "- ? a: \t|\n    x\n", "a block node after a tab"},
      {"a NUL byte after a tab inside an explicit key", std::string("? a:\t\0", 6), "a block node after a tab"},
      {"invalid UTF-8", with_param("k: \"\xC3\x28\""), "invalid UTF-8"},
      {"a reserved directive holding invalid UTF-8", "%a \xE1\n" + kParams + "registers:\n", "invalid UTF-8"},
      {"a NUL byte", with_param(std::string("k: a\0b", 6)), ""},
  };
  for (const auto& c : cases) {
    auto m = deserialize_metadata(c.text);
    ASSERT_FALSE(m.has_value()) << c.name;
    EXPECT_EQ(m.error(), MetadataError::Kind::Deserialize) << c.name;
    EXPECT_EQ(m.error().message(), "failed to serialized") << c.name;
    EXPECT_FALSE(m.error().detail.empty()) << c.name;
    EXPECT_NE(m.error().detail.find(c.detail), std::string::npos) << c.name << ": " << m.error().detail;
  }
}

// ---- Scalars in the core schema ------------------------------------------------------------------

// The value of additional key `k` written as `k: <text>`.
std::expected<YamlValue, std::string> scalar_value(const std::string& text) {
  auto m = deserialize_metadata(with_param("k: " + text));
  if (!m) return std::unexpected(m.error().detail);
  if (m->params.additional.size() != 1) return std::unexpected(std::string("no additional key"));
  return m->params.additional[0].second;
}

TEST(DeserializeMetadata, ScalarKinds) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<const char*, YamlValue> cases[] = {
      {"~", null_v()},
      {"null", null_v()},
      {"Null", null_v()},
      {"NULL", null_v()},
      {"", null_v()},
      {"!!null ''", null_v()},
      {"true", b(true)},
      {"True", b(true)},
      {"TRUE", b(true)},
      {"false", b(false)},
      {"False", b(false)},
      {"FALSE", b(false)},
      {"yes", s("yes")},  // a YAML 1.1 boolean, a string here
      {"tRUE", s("tRUE")},
      {"0", u(0)},
      {"8191", u(8191)},
      {"+12", u(12)},
      {"007", u(7)},
      {"-0", u(0)},
      {"-12", i(-12)},
      {"0o17", u(15)},
      {"0x1FFF", u(8191)},
      {"0xff", u(255)},
      {"0b101", u(5)},
      {"-0x10", i(-16)},
      {"18446744073709551615", u(UINT64_MAX)},
      {"18446744073709551616", f(18446744073709551616.0)},
      {"0x10000000000000000", f(18446744073709551616.0)},
      {"-9223372036854775808", i(INT64_MIN)},
      {"-9223372036854775809", f(-9223372036854775808.0)},
      {"36893488147419103231", f(36893488147419103232.0)},
      {"0o3777777777777777777777", f(36893488147419103232.0)},
      {"0b11111111111111111111111111111111111111111111111111111111111111111", f(36893488147419103232.0)},
      {"0x1fffffffffffffffff", f(590295810358705651712.0)},
      {"0X10", s("0X10")},
      {"0o8", s("0o8")},
      {"0x", s("0x")},
      {"1_000", s("1_000")},
      {"1.5", f(1.5)},
      {"-1.5", f(-1.5)},
      {"1.", f(1.0)},
      {".5", f(0.5)},
      {"8191.0", f(8191.0)},
      {"1e3", f(1000.0)},
      {"+1E-2", f(0.01)},
      {"1e400", f(inf)},
      {"-1e400", f(-inf)},
      {"1e-400", f(0.0)},
      {".inf", f(inf)},
      {"-.Inf", f(-inf)},
      {"+.INF", f(inf)},
      {"1e", s("1e")},
      {".", s(".")},
      {"'-'", s("-")},
      {"\"8191\"", s("8191")},
      {"'true'", s("true")},
      {"\"\"", s("")},
      {"|\n    8191\n", s("8191\n")},
      {"!!str 12", s("12")},
      {"! 12", s("12")},
      {"!!int '0x10'", u(16)},
      {"!!float 3", f(3.0)},
      {"!!bool 'false'", b(false)},
      {"telkv3", s("telkv3")},
      {"a b  c", s("a b  c")},
  };
  for (const auto& [text, expected] : cases) {
    auto v = scalar_value(text);
    ASSERT_TRUE(v.has_value()) << text << ": " << v.error();
    EXPECT_EQ(*v, expected) << text;
  }
  for (const char* text : {".nan", ".NaN", ".NAN", "!!float .nan"}) {
    auto v = scalar_value(text);
    ASSERT_TRUE(v.has_value()) << text;
    EXPECT_EQ(v->kind, Kind::Float) << text;
    EXPECT_TRUE(std::isnan(v->number)) << text;
  }
}

TEST(DeserializeMetadata, UnsignedParameterReading) {
  // How a parser's settings, read through uint_param, see each way of writing a value.
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"8191", 8191},     {"0x1FFF", 8191}, {"0o17777", 8191}, {"65537", 65537}, {"0", 0},
      {"\"8191\"", 77},   {"8191.0", 77},   {"-1", 77},        {"~", 77},        {"true", 77},
      {"[8191]", 77},     {"{a: 1}", 77},   {"", 77},          {"1e3", 77},      {"18446744073709551616", 77},
  };
  for (auto [text, expected] : cases) {
    auto m = deserialize_metadata(with_param(std::string("mask: ") + text));
    ASSERT_TRUE(m.has_value()) << text << ": " << m.error().detail;
    EXPECT_EQ(uint_param(m->params, "mask", 77), expected) << text;
  }
  auto m = deserialize_metadata(with_param("other: 1"));
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(uint_param(m->params, "mask", 77), 77u) << "absent key";
}

// ---- Nothing is printed --------------------------------------------------------------------------

// Runs `body` with file descriptors 1 and 2 sent to a temporary file; returns what was written.
template <class Body>
std::string captured_output(Body body) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* sink = std::tmpfile();
  if (sink == nullptr) throw std::runtime_error("tmpfile failed");
  const int saved_out = ::dup(1), saved_err = ::dup(2);
  ::dup2(::fileno(sink), 1);
  ::dup2(::fileno(sink), 2);
  body();
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(saved_out, 1);
  ::dup2(saved_err, 2);
  ::close(saved_out);
  ::close(saved_err);
  std::string out;
  std::rewind(sink);
  for (int c; (c = std::fgetc(sink)) != EOF;) out.push_back(static_cast<char>(c));
  std::fclose(sink);
  return out;
}

TEST(DeserializeMetadata, PrintsNothing) {
  const std::string broken[] = {
      kParams + "registers: {a: 1\n",
      "params:\n\tmodel: m\n",
      "a: [1, 2\nb: }\n",
      "key: \"unterminated\n",
      "%YAML 9.9\n%BOGUS x\n--- a\n",
      "%YAML 1.1\n%YAML 1.2\n---\na: 1\n",
      "a: *undefined\n",
      "? - a\n  - b\n: c\n- d\n",
      "a: b: c\n",
      "- a\nb: c\n",
      with_param("k: !thing 1"),
      kParams + "registers:\n---\nx: 1\n",
      alias_bomb(),
      std::string(1u << 20, '['),
      "\"\\q\"\n",
      "&a &b x\n",
  };
  std::size_t failures = 0;
  std::string out = captured_output([&] {
    for (const auto& text : broken) failures += !deserialize_metadata(text).has_value();
  });
  EXPECT_EQ(failures, std::size(broken));
  EXPECT_EQ(out, "");
}

// ---- Reading metadata.yml --------------------------------------------------------------------------

Acquisition open_ok(const fs::path& p) {
  auto acq = Acquisition::open(p);
  if (!acq) throw std::runtime_error("open failed: " + p.string());
  return *acq;
}

TEST(AcquisitionMetadata, ReadsTheFileAsItIs) {
  TempDir tmp;
  const std::string text = "\xEF\xBB\xBFparams:\r\n  model: m\r\n  channels: 1\r\n  windows: 2\r\n  samples: 3\r\n"
                           "  note: caf\xC3\xA9\r\nregisters:\r\n";
  write_file(tmp.path() / "metadata.yml", text);
  Acquisition acq = open_ok(tmp.path());
  auto str = acq.metadata_str();
  ASSERT_TRUE(str.has_value());
  EXPECT_EQ(*str, text);
  auto m = acq.metadata();
  ASSERT_TRUE(m.has_value()) << m.error().detail;
  EXPECT_EQ(m->params.model, "m");
  EXPECT_EQ(m->params.samples, 3u);
  EXPECT_EQ(m->params.additional, (std::vector<std::pair<std::string, YamlValue>>{{"note", s("caf\xC3\xA9")}}));

  // Every call reads the file afresh.
  write_file(tmp.path() / "metadata.yml", std::string(""));
  auto empty = acq.metadata();
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error(), MetadataError::Kind::Deserialize);
  EXPECT_EQ(empty.error().detail, "missing field `params`");
}

TEST(AcquisitionMetadata, UnreadableFile) {
  struct Case {
    const char* name;
    void (*make)(const fs::path& meta);
  };
  const Case cases[] = {
      {"missing", [](const fs::path& meta) { fs::remove(meta); }},
      {"a directory", [](const fs::path& meta) { fs::remove(meta), fs::create_directory(meta); }},
      {"a dangling link", [](const fs::path& meta) { fs::remove(meta), fs::create_symlink("nowhere", meta); }},
      {"a FIFO", [](const fs::path& meta) { fs::remove(meta), ::mkfifo(meta.c_str(), 0600); }},
      {"invalid UTF-8", [](const fs::path& meta) { write_file(meta, kParams + "  k: \"\xC3\x28\"\nregisters:\n"); }},
      {"a lone continuation byte", [](const fs::path& meta) { write_file(meta, std::string("\x80")); }},
      {"a surrogate", [](const fs::path& meta) { write_file(meta, std::string("a: \xED\xA0\x80\n")); }},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    write_file(tmp.path() / "metadata.yml", kParams + "registers:\n");
    Acquisition acq = open_ok(tmp.path());
    c.make(tmp.path() / "metadata.yml");
    auto str = acq.metadata_str();
    ASSERT_FALSE(str.has_value()) << c.name;
    EXPECT_EQ(str.error(), AcquisitionError::Kind::ReadFailed) << c.name;
    EXPECT_EQ(str.error().message(), "Could not read acquisition: failed to read metadata") << c.name;
    auto m = acq.metadata();
    ASSERT_FALSE(m.has_value()) << c.name;
    EXPECT_EQ(m.error(), MetadataError::Kind::Unreadable) << c.name;
    EXPECT_EQ(m.error().message(), "invalid metadata format") << c.name;
  }
}

// ---- Auxiliary files -------------------------------------------------------------------------------

TEST(MiscData, ReadsEachKindByteExact) {
  TempDir tmp;
  write_file(tmp.path() / "metadata.yml", std::string());
  const std::pair<MiscDataKind, const char*> kinds[] = {
      {MiscDataKind::ReadoutMetadata, "readout_metadata"},
      {MiscDataKind::PedestalsCalibration, "pedestals_calibration"},
      {MiscDataKind::TimingCalibration, "timing_calibration"},
      {MiscDataKind::Adc2MvCalibration, "adc2mv_calibration"},
  };
  Acquisition acq = open_ok(tmp.path());
  for (auto [kind, file] : kinds) {
    auto absent = acq.misc_data(kind);
    ASSERT_FALSE(absent.has_value()) << file;
    EXPECT_EQ(absent.error(), AcquisitionError::Kind::NoSuchMiscData) << file;
  }
  // Distinct content per file, with NUL, high bytes and the gzip magic; one file empty.
  std::uint8_t tag = 0;
  for (auto [kind, file] : kinds) {
    Bytes content = {0x1f, 0x8b, 0x08, 0x00, 0xff, 0x0d, 0x0a, ++tag};
    if (kind == MiscDataKind::TimingCalibration) content.clear();
    write_file(tmp.path() / file, content);
    auto got = acq.misc_data(kind);
    ASSERT_TRUE(got.has_value()) << file;
    EXPECT_EQ(got->bytes, content) << file;
    EXPECT_EQ(got->kind, kind) << file;
  }
  Bytes big(3u << 20);
  for (std::size_t k = 0; k < big.size(); ++k) big[k] = static_cast<std::uint8_t>(k * 131 + (k >> 9));
  write_file(tmp.path() / "pedestals_calibration", big);
  auto got = acq.misc_data(MiscDataKind::PedestalsCalibration);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->bytes, big);
}

TEST(MiscData, AbsenceAndFailures) {
  struct Case {
    const char* name;
    void (*make)(const fs::path& dir);
    AcquisitionError::Kind kind;
    const char* text;  // the ReadFailed text
  };
  const Case cases[] = {
      {"missing", [](const fs::path&) {}, AcquisitionError::Kind::NoSuchMiscData, ""},
      {"only under the Python property's name",
       [](const fs::path& dir) { write_file(dir / "adc_to_mv_calibration", std::string("x")); },
       AcquisitionError::Kind::NoSuchMiscData, ""},
      {"a dangling link", [](const fs::path& dir) { fs::create_symlink("nowhere", dir / "adc2mv_calibration"); },
       AcquisitionError::Kind::NoSuchMiscData, ""},
      {"acquisition directory removed", [](const fs::path& dir) { fs::remove_all(dir); },
       AcquisitionError::Kind::NoSuchMiscData, ""},
      {"acquisition directory replaced by a file",
       [](const fs::path& dir) { fs::remove_all(dir), write_file(dir, std::string("x")); },
       AcquisitionError::Kind::NoSuchMiscData, ""},
      {"a directory", [](const fs::path& dir) { fs::create_directory(dir / "adc2mv_calibration"); },
       AcquisitionError::Kind::ReadFailed, "Is a directory (os error 21)"},
      {"a FIFO", [](const fs::path& dir) { ::mkfifo((dir / "adc2mv_calibration").c_str(), 0600); },
       AcquisitionError::Kind::ReadFailed, "Invalid argument (os error 22)"},
      {"a link to an endless device",
       [](const fs::path& dir) { fs::create_symlink("/dev/zero", dir / "adc2mv_calibration"); },
       AcquisitionError::Kind::ReadFailed, "Invalid argument (os error 22)"},
      {"a link loop", [](const fs::path& dir) { fs::create_symlink("adc2mv_calibration", dir / "adc2mv_calibration"); },
       AcquisitionError::Kind::ReadFailed, "Too many levels of symbolic links (os error 40)"},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "acq";
    fs::create_directory(dir);
    write_file(dir / "metadata.yml", std::string());
    Acquisition acq = open_ok(dir);
    c.make(dir);
    auto got = acq.misc_data(MiscDataKind::Adc2MvCalibration);
    ASSERT_FALSE(got.has_value()) << c.name;
    EXPECT_EQ(got.error(), c.kind) << c.name;
    if (c.kind == AcquisitionError::Kind::ReadFailed) {
      EXPECT_EQ(got.error().text, c.text) << c.name;
      EXPECT_EQ(got.error().message(), std::string("Could not read acquisition: ") + c.text) << c.name;
    }
  }
}

}  // namespace
}  // namespace tavroacq
