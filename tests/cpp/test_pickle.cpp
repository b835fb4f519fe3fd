#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <limits>
#include <string>

#include "calibration/pickle.h"
#include "calibration_support.h"
#include "data/pickle_fixtures.h"

namespace tavroacq {
namespace {

using pickle::Document;
using pickle::Error;
using pickle::Kind;
using pickle::Value;
using testing::bytes_of;
using testing::ByteVec;
using testing::read_bytes;

std::string hex(std::string_view s) {
  std::string out;
  char buf[3];
  for (const unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

std::string bits8(std::uint32_t bits) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", bits);
  return buf;
}

// The value in the notation of make_pickle_fixtures.py.
std::string signature(const Document& doc, Value v) {
  auto join = [&](std::string open, std::string close) {
    std::string out = open;
    const auto items = doc.items(v);
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) out += ",";
      out += signature(doc, items[i]);
      if (v.kind == Kind::Dict) out += ":" + signature(doc, items[++i]);
    }
    return out + close;
  };
  switch (v.kind) {
    case Kind::None: return "N";
    case Kind::Bool: return doc.boolean(v) ? "T" : "F";
    case Kind::Int: return "i" + bits8(std::bit_cast<std::uint32_t>(doc.number(v)));
    case Kind::BigInt: return "I";
    case Kind::Float: return "f" + bits8(std::bit_cast<std::uint32_t>(doc.number(v)));
    case Kind::Text: return doc.text(v) ? "s" + hex(*doc.text(v)) : "s*";
    case Kind::Bytes: return doc.text(v) ? "b" + hex(*doc.text(v)) : "b*";
    case Kind::List: return join("[", "]");
    case Kind::Tuple: return join("(", ")");
    case Kind::Set: return join("{", "}");
    case Kind::FrozenSet: return join("z{", "}");
    case Kind::Dict: return join("<", ">");
    case Kind::Global: return "GLOBAL";
  }
  return "?";
}

std::string signature_of(const std::expected<Document, Error>& doc) {
  if (!doc) return "error " + std::to_string(static_cast<int>(doc.error()));
  return signature(*doc, doc->root());
}

// Signatures of numbers, for the hand-written cases.
std::string i(std::int64_t v) { return "i" + bits8(std::bit_cast<std::uint32_t>(static_cast<float>(v))); }
std::string f(double v) { return "f" + bits8(std::bit_cast<std::uint32_t>(static_cast<float>(v))); }
std::string s(std::string_view text) { return "s" + hex(text); }

TEST(PickleReader, ReadsWhatPythonWritesAtEveryProtocol) {
  for (const auto& fx : fixtures::pickle_fixtures()) {
    const ByteVec raw = testing::gunzip(fx.gzip);
    const std::string row = std::string(fx.name) + " protocol " + std::to_string(fx.protocol);
    // Whole, and one byte at a time: every argument may straddle pieces of the stream.
    for (const std::size_t piece : {SIZE_MAX, std::size_t{1}}) {
      testing::SpanSource src(raw, piece);
      const auto doc = pickle::read(src);
      if (fx.outcome == fixtures::Outcome::Reference) {
        ASSERT_FALSE(doc) << row;
        EXPECT_EQ(doc.error(), Error::Reference) << row;
        continue;
      }
      ASSERT_TRUE(doc) << row << ": error " << static_cast<int>(doc.error());
      if (!fx.signature.empty()) {
        EXPECT_EQ(signature_of(doc), fx.signature) << row;
      }
    }
  }
}

// Hand-written streams: shapes Python's pickler does not write, and every refusal.
TEST(PickleReader, HandWrittenStreams) {
  struct Case {
    const char* name;
    std::string_view stream;
    std::string expected;  // a signature, or "error N" (the Error value)
  };
  const auto err = [](Error e) { return "error " + std::to_string(static_cast<int>(e)); };
  using namespace std::string_view_literals;
  const Case cases[] = {
      // The references Python's pickler uses, and nothing else.
      {"builtins.set on a list", "\x80\x03" "cbuiltins\nset\n](K\x01K\x02" "e\x85R."sv, "{" + i(1) + "," + i(2) + "}"},
      {"__builtin__ at protocol 0", "c__builtin__\nfrozenset\n((lI1\natR."sv, "z{" + i(1) + "}"},
      {"__builtin__ at protocol 3", "\x80\x03" "c__builtin__\nset\n]\x85R."sv, err(Error::Reference)},
      {"global kept in the memo", "c__builtin__\nset\np0\n(]tRg0\n(]tR\x86."sv, "({},{})"},
      {"set of a tuple", "c__builtin__\nset\n((I1\nttR."sv, err(Error::Reference)},
      {"set of two lists", "c__builtin__\nset\n(]]tR."sv, err(Error::Reference)},
      {"set of nothing", "c__builtin__\nset\n)R."sv, err(Error::Reference)},
      {"set of a list holding a list", "c__builtin__\nset\n(]]atR."sv, err(Error::Malformed)},
      {"set with a non-tuple argument", "c__builtin__\nset\n]R."sv, err(Error::Reference)},
      {"bytes of nothing", "c__builtin__\nbytes\n)R."sv, "b"},
      {"bytes of a list", "c__builtin__\nbytes\n(]tR."sv, err(Error::Reference)},
      {"encode latin1", "c_codecs\nencode\n(Vd\\u00e9\nVlatin1\ntR."sv, "b64e9"},
      {"encode utf-8", "c_codecs\nencode\n(Vabc\nVutf-8\ntR."sv, err(Error::Reference)},
      {"encode beyond latin-1", "c_codecs\nencode\n(V\\u0100\nVlatin1\ntR."sv, err(Error::Malformed)},
      {"encode with three arguments", "c_codecs\nencode\n(Va\nVlatin1\nVstrict\ntR."sv, err(Error::Reference)},
      {"stack global builtins.set", "\x80\x04\x8c\x08" "builtins\x8c\x03set\x93]\x85R."sv, "{}"},
      {"stack global of bytes names", "\x80\x04" "C\x08" "builtinsC\x03set\x93]\x85R."sv, err(Error::Malformed)},
      {"stack global builtins.eval", "\x80\x04\x8c\x08" "builtins\x8c\x04" "eval\x93."sv, err(Error::Reference)},
      {"global os.system", "cos\nsystem\n."sv, err(Error::Reference)},
      {"global builtins.getattr", "cbuiltins\ngetattr\n."sv, err(Error::Reference)},
      {"bare global at STOP", "c__builtin__\nset\n."sv, err(Error::Reference)},
      {"global in a list", "]c__builtin__\nset\na."sv, err(Error::Reference)},
      {"global in a tuple", "c__builtin__\nset\n\x85."sv, err(Error::Reference)},
      {"global as a dict key", "}c__builtin__\nset\nNs."sv, err(Error::Reference)},
      {"reduce on a list", "](]tR."sv, err(Error::Malformed)},
      {"object construction", "\x80\x02" "cbuiltins\nobject\n)\x81."sv, err(Error::Reference)},
      {"INST", "(i__main__\nC\n."sv, err(Error::Reference)},
      {"OBJ", "(]o."sv, err(Error::Reference)},
      {"BUILD", "]}b."sv, err(Error::Reference)},
      {"EXT1", "\x82\x01."sv, err(Error::Reference)},
      {"bytearray", "\x96\x00\x00\x00\x00\x00\x00\x00\x00."sv, err(Error::Reference)},
      {"persistent id", "Pabc\n."sv, err(Error::Unsupported)},
      {"out-of-band buffer", "\x97."sv, err(Error::Unsupported)},
      // Stack, marks and memo.
      {"memo round trip", "]p3\n0g3\n."sv, "[]"},
      {"memo shares the object", "]q\x00h\x00K\x01" "a0."sv, "[" + i(1) + "]"},
      {"memoize numbering", "K\x05\x94K\x06\x94h\x01."sv, i(6)},
      {"missing memo entry", "g5\n."sv, err(Error::Malformed)},
      {"negative memo key", "Np-1\n."sv, err(Error::Malformed)},
      {"POP takes an empty mark", "K\x01(0."sv, i(1)},
      {"POP_MARK", "K\x01(K\x02K\x03" "1."sv, i(1)},
      {"DUP", "K\x01" "2\x86."sv, "(" + i(1) + "," + i(1) + ")"},
      {"POP on an empty stack", "0."sv, err(Error::Malformed)},
      {"STOP on an empty stack", "."sv, err(Error::Malformed)},
      {"STOP inside an empty mark", "K\x01(."sv, err(Error::Malformed)},
      {"APPEND to a tuple", ")K\x01" "a."sv, err(Error::Malformed)},
      {"APPEND across a mark", "](K\x01" "a."sv, err(Error::Malformed)},
      {"APPENDS of nothing onto a tuple", ")(e."sv, "()"},
      {"APPENDS onto a dict", "}(K\x01" "e."sv, err(Error::Malformed)},
      {"SETITEM on a list", "]K\x00K\x01s."sv, err(Error::Malformed)},
      {"list as dict key", "}]K\x01s."sv, err(Error::Malformed)},
      {"tuple holding a list as dict key", "}]\x85K\x01s."sv, err(Error::Malformed)},
      {"tuple of ints as dict key", "}K\x01\x85K\x02s."sv, "<(" + i(1) + "):" + i(2) + ">"},
      {"list key through DICT", "(]K\x01" "d."sv, err(Error::Malformed)},
      {"odd DICT", "(K\x01" "d."sv, err(Error::Malformed)},
      {"odd SETITEMS", "}(K\x01u."sv, err(Error::Malformed)},
      {"list into a set", "\x8f(]\x90."sv, err(Error::Malformed)},
      {"ADDITEMS to a frozenset", "(\x91(K\x01\x90."sv, err(Error::Malformed)},
      {"frozenset holding a dict", "(}\x91."sv, err(Error::Malformed)},
      {"unknown opcode", "\xff."sv, err(Error::Malformed)},
      {"protocol 6", "\x80\x06N."sv, err(Error::Malformed)},
      // Integers in every encoding.
      {"INT hex", "I0x10\n."sv, i(16)},
      {"INT octal, negative", "I-0o17\n."sv, i(-15)},
      {"INT binary with underscore", "I0b_1_0\n."sv, i(2)},
      {"INT underscores", "I1_000\n."sv, i(1000)},
      {"INT spaces", "I 5 \n."sv, i(5)},
      {"INT leading zero", "I010\n."sv, err(Error::Malformed)},
      {"INT zeros", "I000\n."sv, i(0)},
      {"INT double underscore", "I1__0\n."sv, err(Error::Malformed)},
      {"INT trailing underscore", "I10_\n."sv, err(Error::Malformed)},
      {"INT empty", "I\n."sv, err(Error::Malformed)},
      {"INT True", "I01\n."sv, "T"},
      {"INT False", "I00\n."sv, "F"},
      {"LONG with suffix", "L12L\n."sv, i(12)},
      {"LONG minimum", "L-9223372036854775808L\n."sv, i(INT64_MIN)},
      {"LONG beyond maximum", "L9223372036854775808L\n."sv, "I"},
      {"LONG hex beyond range", "L0x1_0000_0000_0000_0000\n."sv, "I"},
      {"LONG1 empty", "\x8a\x00."sv, i(0)},
      {"LONG1 minus one", "\x8a\x01\xff."sv, i(-1)},
      {"LONG1 three bytes negative", "\x8a\x03\x00\x00\x80."sv, i(-8388608)},
      {"LONG1 nine bytes minus one", "\x8a\x09\xff\xff\xff\xff\xff\xff\xff\xff\xff."sv, i(-1)},
      {"LONG1 minimum", "\x8a\x08\x00\x00\x00\x00\x00\x00\x00\x80."sv, i(INT64_MIN)},
      {"LONG1 2^63", "\x8a\x09\x00\x00\x00\x00\x00\x00\x00\x80\x00."sv, "I"},
      {"LONG1 2^64", "\x8a\x09\x00\x00\x00\x00\x00\x00\x00\x00\x01."sv, "I"},
      {"LONG4 negative length", "\x8b\xff\xff\xff\xff."sv, err(Error::Malformed)},
      {"BININT negative", "J\xfe\xff\xff\xff."sv, i(-2)},
      {"BININT2", "M\x01\x02."sv, i(513)},
      // Floats.
      {"FLOAT overflow", "F1e999\n."sv, err(Error::Malformed)},
      {"FLOAT underflow", "F1e-999\n."sv, f(0.0)},
      {"FLOAT negative underflow", "F-0.000001e-999\n."sv, f(-0.0)},
      {"FLOAT big mantissa, small exponent", "F123456789e-300\n."sv, f(123456789e-300)},
      {"FLOAT plus sign", "F+1.5\n."sv, f(1.5)},
      {"FLOAT point first", "F.5\n."sv, f(0.5)},
      {"FLOAT point last", "F5.\n."sv, f(5.0)},
      {"FLOAT Infinity", "F-Infinity\n."sv, f(-std::numeric_limits<double>::infinity())},
      {"FLOAT NaN", "FNaN\n."sv, "f7fc00000"},
      {"FLOAT negative nan", "F-nan\n."sv, "fffc00000"},
      {"FLOAT trailing space", "F1.5 \n."sv, err(Error::Malformed)},
      {"FLOAT underscore", "F1_0\n."sv, err(Error::Malformed)},
      {"FLOAT nan payload", "Fnan(1)\n."sv, err(Error::Malformed)},
      {"FLOAT hex", "F0x10\n."sv, err(Error::Malformed)},
      {"FLOAT bare exponent", "F1e\n."sv, err(Error::Malformed)},
      {"BINFLOAT negative NaN", "G\xff\xf8\x00\x00\x00\x00\x00\x00."sv, "fffc00000"},
      // Texts and bytes.
      {"STRING escapes", "S'a\\x41\\101\\n\\q'\n."sv, s("aAA\n\\q")},
      {"STRING double quotes", "S\"it's\"\n."sv, s("it's")},
      {"STRING escaped quote", "S'it\\'s'\n."sv, s("it's")},
      {"STRING octal then digit", "S'\\1018'\n."sv, s("A8")},
      {"STRING short octal", "S'\\7'\n."sv, s("\x07")},
      {"STRING without closing quote", "S'abc\n."sv, err(Error::Malformed)},
      {"STRING lone quote", "S'\n."sv, err(Error::Malformed)},
      {"STRING unquoted", "Sabc\n."sv, err(Error::Malformed)},
      {"STRING short hex escape", "S'\\x4'\n."sv, err(Error::Malformed)},
      {"STRING trailing backslash", "S'a\\'\n."sv, err(Error::Malformed)},
      {"STRING non-ASCII", "S'\x80'\n."sv, err(Error::Malformed)},
      {"STRING non-ASCII escape", "S'\\x80'\n."sv, err(Error::Malformed)},
      {"BINSTRING", "T\x03\x00\x00\x00" "abc."sv, s("abc")},
      {"BINSTRING negative length", "T\xff\xff\xff\xff."sv, err(Error::Malformed)},
      {"SHORT_BINSTRING non-ASCII", "U\x01\xe9."sv, err(Error::Malformed)},
      {"UNICODE escape spells data", "V\\u0064ata\n."sv, s("data")},
      {"UNICODE even backslashes", "V\\\\u0064\n."sv, s("\\\\u0064")},
      {"UNICODE odd backslashes", "V\\\\\\u0064\n."sv, s("\\\\d")},
      {"UNICODE long escape", "V\\U0001F600\n."sv, s("\xf0\x9f\x98\x80")},
      {"UNICODE latin-1 byte", "V\xe9\n."sv, s("\xc3\xa9")},
      {"UNICODE surrogate", "V\\ud800\n."sv, s("\xed\xa0\x80")},
      {"UNICODE short escape", "V\\u12\n."sv, err(Error::Malformed)},
      {"UNICODE beyond unicode", "V\\U00110000\n."sv, err(Error::Malformed)},
      {"BINUNICODE invalid byte", "X\x01\x00\x00\x00\xff."sv, err(Error::Malformed)},
      {"BINUNICODE cut sequence", "\x8c\x01\xc3."sv, err(Error::Malformed)},
      {"BINUNICODE overlong", "\x8c\x02\xc0\x80."sv, err(Error::Malformed)},
      {"BINUNICODE beyond unicode", "\x8c\x04\xf4\x90\x80\x80."sv, err(Error::Malformed)},
      {"BINUNICODE surrogate", "\x8c\x03\xed\xa0\x80."sv, s("\xed\xa0\x80")},
      {"BINBYTES8", "\x8e\x02\x00\x00\x00\x00\x00\x00\x00\xff\x00."sv, "bff00"},
      // Frames and the end of the stream.
      {"frame", "\x80\x04\x95\x02\x00\x00\x00\x00\x00\x00\x00N."sv, "N"},
      {"frame longer than the stream", "\x80\x04\x95\x0a\x00\x00\x00\x00\x00\x00\x00N."sv, err(Error::Truncated)},
      {"frame of 2^63 bytes", "\x95\x00\x00\x00\x00\x00\x00\x00\x80N."sv, err(Error::Truncated)},
      {"empty stream", ""sv, err(Error::Truncated)},
      {"no STOP", "]"sv, err(Error::Truncated)},
      {"cut BINFLOAT", "G\x00\x00"sv, err(Error::Truncated)},
      {"line without newline", "Vabc"sv, err(Error::Truncated)},
      {"huge BINUNICODE8", "\x8d\x00\x00\x00\x00\x00\x00\x00\x40" "abc."sv, err(Error::Truncated)},
      {"huge BINBYTES8", "\x8e\xff\xff\xff\xff\xff\xff\xff\xff" "abc."sv, err(Error::Truncated)},
      {"huge LONG4", "\x8b\xff\xff\xff\x7f\x01."sv, err(Error::Truncated)},
      {"byte after STOP", "N.N"sv, err(Error::Trailing)},
      {"STOP after STOP", "N.."sv, err(Error::Trailing)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(signature_of(read_bytes(c.stream)), c.expected) << c.name;
    EXPECT_EQ(signature_of(read_bytes(c.stream, 1)), c.expected) << c.name << " (byte by byte)";
  }
}

// Nesting depth of lists, walked without recursion.
std::size_t list_depth(const Document& doc) {
  std::size_t depth = 0;
  for (Value v = doc.root(); v.kind == Kind::List; ++depth) {
    const auto items = doc.items(v);
    if (items.empty()) return depth + 1;
    v = items.front();
  }
  return depth;
}

TEST(PickleReader, DeepNestingCostsOnlyHeap) {
  constexpr std::size_t N = 1'000'000;
  // Protocol 1 style: N empty lists, each appended into the one below.
  std::string appended = std::string(N, ']') + std::string(N - 1, 'a') + ".";
  // Protocol 0 style: N marks, each closed into a list.
  std::string marked = std::string(N, '(') + std::string(N, 'l') + ".";
  for (const auto* stream : {&appended, &marked}) {
    const auto doc = read_bytes(*stream);
    ASSERT_TRUE(doc);
    EXPECT_EQ(list_depth(*doc), N);
  }
}

// Streams that never end and keep growing what the reader holds; an endless stream that holds
// nothing more is cut by the gzip layer's output cap instead.
TEST(PickleReader, EndlessStreamsHitTheMemoryLimit) {
  using namespace std::string_view_literals;
  struct Case {
    const char* name;
    std::string_view head, body;
  };
  const Case cases[] = {
      {"None after None", ""sv, "N"sv},
      {"marks", ""sv, "("sv},
      {"memo gets", "]q\x00"sv, "h\x00"sv},
      {"dups", "N"sv, "2"sv},
      {"appends", "]"sv, "Na"sv},
      {"one long tuple", "("sv, "K\x01"sv},
      {"memo entries", "N"sv, "\x94"sv},
      {"dict items", "}("sv, "K\x01K\x02"sv},
  };
  for (const Case& c : cases) {
    testing::RepeatSource src(bytes_of(c.head), bytes_of(c.body));
    const auto doc = pickle::read(src, pickle::Limits{.max_bytes = 16u << 20});
    ASSERT_FALSE(doc) << c.name;
    EXPECT_EQ(doc.error(), Error::TooLarge) << c.name;
  }
}

TEST(PickleReader, MemoryLimitCountsWhatIsKept) {
  // 1000 floats in one list: 8 KB of values, which fit in 64 KiB but not in 4 KiB.
  std::string stream = "](";
  for (int k = 0; k < 1000; ++k) stream += std::string("G\x3f\xf0\0\0\0\0\0\0", 9);
  stream += "e.";
  const ByteVec b = bytes_of(stream);
  testing::SpanSource roomy(b), tight(b);
  EXPECT_TRUE(pickle::read(roomy, pickle::Limits{.max_bytes = 64u << 10}));
  const auto refused = pickle::read(tight, pickle::Limits{.max_bytes = 4u << 10});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), Error::TooLarge);
}

TEST(PickleReader, HugeIntegersAreBoundedWork) {
  // A million-digit decimal: refused by the line cap (CPython refuses beyond 4300 digits too).
  const std::string digits = "L" + std::string(1'000'000, '7') + "L\n.";
  const auto text_int = read_bytes(digits);
  ASSERT_FALSE(text_int);
  EXPECT_EQ(text_int.error(), Error::Malformed);
  // A million-byte binary integer: read as it streams, out of range.
  std::string binary = "\x8b";
  binary += std::string("\x40\x42\x0f\x00", 4);
  binary += std::string(1'000'000, '\x01') + ".";
  EXPECT_EQ(signature_of(read_bytes(binary)), "I");
}

}  // namespace
}  // namespace tavroacq
