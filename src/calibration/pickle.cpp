// The pickle machine: opcodes run on explicit value and mark stacks as in CPython's unpickler;
// nothing recurses, objects live in one indexed arena, and every byte kept is charged to a limit.
#include "calibration/pickle.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <limits>
#include <unordered_map>

namespace tavroacq::pickle {

namespace {

// Opcodes, named as Python's pickletools names them.
enum Op : std::uint8_t {
  MARK = '(', STOP = '.', POP = '0', POP_MARK = '1', DUP = '2', FLOAT = 'F', INT = 'I', BININT = 'J',
  BININT1 = 'K', LONG = 'L', BININT2 = 'M', NONE = 'N', PERSID = 'P', BINPERSID = 'Q', REDUCE = 'R',
  STRING = 'S', BINSTRING = 'T', SHORT_BINSTRING = 'U', UNICODE = 'V', BINUNICODE = 'X', APPEND = 'a',
  BUILD = 'b', GLOBAL = 'c', DICT = 'd', EMPTY_DICT = '}', APPENDS = 'e', GET = 'g', BINGET = 'h',
  INST = 'i', LONG_BINGET = 'j', LIST = 'l', EMPTY_LIST = ']', OBJ = 'o', PUT = 'p', BINPUT = 'q',
  LONG_BINPUT = 'r', SETITEM = 's', TUPLE = 't', EMPTY_TUPLE = ')', SETITEMS = 'u', BINFLOAT = 'G',
  // protocol 2
  PROTO = 0x80, NEWOBJ = 0x81, EXT1 = 0x82, EXT2 = 0x83, EXT4 = 0x84, TUPLE1 = 0x85, TUPLE2 = 0x86,
  TUPLE3 = 0x87, NEWTRUE = 0x88, NEWFALSE = 0x89, LONG1 = 0x8a, LONG4 = 0x8b,
  // protocol 3
  BINBYTES = 'B', SHORT_BINBYTES = 'C',
  // protocol 4
  SHORT_BINUNICODE = 0x8c, BINUNICODE8 = 0x8d, BINBYTES8 = 0x8e, EMPTY_SET = 0x8f, ADDITEMS = 0x90,
  FROZENSET = 0x91, NEWOBJ_EX = 0x92, STACK_GLOBAL = 0x93, MEMOIZE = 0x94, FRAME = 0x95,
  // protocol 5
  BYTEARRAY8 = 0x96, NEXT_BUFFER = 0x97, READONLY_BUFFER = 0x98,
};

constexpr int HIGHEST_PROTOCOL = 5;
// Longest argument line of the text opcodes other than strings (numbers, memo keys, names).
// CPython itself refuses integers of more than 4300 digits.
constexpr std::size_t MAX_LINE = 8192;
// What one memo entry costs: hash node and bucket.
constexpr std::uint64_t MEMO_ENTRY_BYTES = 48;

// The callables Python's pickler uses for plain data below protocol 4 (bits of a Global value).
enum Callable : std::uint32_t { SET, FROZEN_SET, BYTES, ENCODE };

using Status = std::expected<void, Error>;

// Returns the error of a failed step from the enclosing function.
#define PICKLE_TRY(...)                                                    \
  do {                                                                     \
    if (auto s_ = (__VA_ARGS__); !s_) return std::unexpected(s_.error()); \
  } while (0)

Status fail(Error e) { return std::unexpected(e); }

bool is_space(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(static_cast<std::uint8_t>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && is_space(static_cast<std::uint8_t>(s.back()))) s.remove_suffix(1);
  return s;
}

struct IntLiteral {
  bool fits;            // within the signed 64-bit range
  std::int64_t value;   // when it fits
};

// Python's int(text, 0) (base_zero) or int(text) on ASCII text: surrounding white space, a sign,
// a 0x/0o/0b prefix, single underscores between digits; no leading zeros in decimal for base 0.
std::optional<IntLiteral> parse_int(std::string_view s, bool base_zero) {
  s = trim(s);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  bool prefixed = false;
  if (base_zero && s.size() >= 2 && s[0] == '0') {
    switch (s[1]) {
      case 'x': case 'X': base = 16; break;
      case 'o': case 'O': base = 8; break;
      case 'b': case 'B': base = 2; break;
      default: break;
    }
    if (base != 10) {
      prefixed = true;
      s.remove_prefix(2);
      if (!s.empty() && s[0] == '_') s.remove_prefix(1);
    }
  }
  if (s.empty() || s[0] == '_' || s.back() == '_') return std::nullopt;
  constexpr std::uint64_t LIMIT = std::uint64_t{1} << 63;  // magnitude of INT64_MIN
  std::uint64_t magnitude = 0;
  bool over = false, all_zero = true, underscore = false;
  for (char ch : s) {
    if (ch == '_') {
      if (underscore) return std::nullopt;
      underscore = true;
      continue;
    }
    underscore = false;
    const int d = digit_value(static_cast<std::uint8_t>(ch));
    if (d >= base) return std::nullopt;
    all_zero = all_zero && d == 0;
    if (!over) {
      if (magnitude > (LIMIT - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) over = true;
      else magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
  }
  if (base_zero && !prefixed && s[0] == '0' && !all_zero) return std::nullopt;
  if (over || magnitude > (negative ? LIMIT : LIMIT - 1)) return IntLiteral{false, 0};
  const std::int64_t value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return IntLiteral{true, value};
}

bool equals_lower(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// The FLOAT opcode's argument as CPython reads it (PyOS_string_to_double on the whole line):
// a sign, then inf, infinity, nan (any case) or a decimal number; no white space or
// underscores. nullopt when malformed or beyond the double range; an underflow gives zero.
std::optional<double> parse_float(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  auto sign = [negative](double v) { return negative ? -v : v; };
  if (equals_lower(s, "inf") || equals_lower(s, "infinity")) return sign(std::numeric_limits<double>::infinity());
  if (equals_lower(s, "nan")) return sign(std::numeric_limits<double>::quiet_NaN());
  std::size_t i = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  const std::size_t int_end = i;
  std::size_t frac_begin = i, frac_end = i;
  if (i < s.size() && s[i] == '.') {
    frac_begin = ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    frac_end = i;
  }
  if (int_end == 0 && frac_end == frac_begin) return std::nullopt;
  // The decimal exponent of the first non-zero digit tells an overflow from an underflow.
  std::optional<long long> lead;
  for (std::size_t k = 0; k < int_end && !lead; ++k)
    if (s[k] != '0') lead = static_cast<long long>(int_end - k - 1);
  for (std::size_t k = frac_begin; k < frac_end && !lead; ++k)
    if (s[k] != '0') lead = -static_cast<long long>(k - frac_begin + 1);
  long long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) exp_negative = s[i++] == '-';
    if (i == s.size()) return std::nullopt;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') exponent = std::min(exponent * 10 + (s[i++] - '0'), 1000000LL);
    if (exp_negative) exponent = -exponent;
  }
  if (i != s.size()) return std::nullopt;
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    if (lead && *lead + exponent > 0) return std::nullopt;  // overflow
    return sign(0.0);                                                        // underflow
  }
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  return sign(value);
}

std::uint32_t float_bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Checks UTF-8 as Python decodes it with "surrogatepass": encoded surrogates are accepted.
class Utf8Check {
 public:
  static constexpr std::int32_t INVALID = -1;  // `b` cannot continue the text
  static constexpr std::int32_t PENDING = -2;  // a code point is under way

  // The code point that `b` completes, or INVALID or PENDING.
  std::int32_t feed(std::uint8_t b) {
    if (need_ == 0) {
      if (b < 0x80) return b;
      lo_ = 0x80, hi_ = 0xBF;
      if (b >= 0xC2 && b <= 0xDF) need_ = 1, cp_ = b & 0x1F;
      else if (b >= 0xE0 && b <= 0xEF) need_ = 2, cp_ = b & 0x0F, lo_ = b == 0xE0 ? 0xA0 : 0x80;
      else if (b >= 0xF0 && b <= 0xF4) need_ = 3, cp_ = b & 0x07, lo_ = b == 0xF0 ? 0x90 : 0x80, hi_ = b == 0xF4 ? 0x8F : 0xBF;
      else return INVALID;
      return PENDING;
    }
    if (b < lo_ || b > hi_) return INVALID;
    lo_ = 0x80, hi_ = 0xBF;
    cp_ = (cp_ << 6) | (b & 0x3F);
    return --need_ == 0 ? cp_ : PENDING;
  }
  bool complete() const { return need_ == 0; }

 private:
  int need_ = 0;
  std::uint8_t lo_ = 0x80, hi_ = 0xBF;
  std::int32_t cp_ = 0;
};

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A text or bytes value being read: its content while it stays short, and whether it is latin-1.
struct TextBuilder {
  std::string content;
  bool long_text = false;
  bool latin1 = true;

  void add_raw(std::string_view bytes) {
    if (long_text) return;
    if (content.size() + bytes.size() > SHORT_TEXT) {
      long_text = true;
      content.clear();
      content.shrink_to_fit();
      return;
    }
    content.append(bytes);
  }
  void add_byte(std::uint8_t b) { add_raw(std::string_view(reinterpret_cast<const char*>(&b), 1)); }
  void add_code_point(std::uint32_t cp) {
    latin1 = latin1 && cp < 0x100;
    std::string utf8;
    append_utf8(utf8, cp);
    add_raw(utf8);
  }
};

// Python's escape decoding of a STRING argument (bytes escapes: \n, \x41, \101, …); unknown
// escapes stay as they are.
class EscapeDecoder {
 public:
  template <class Out>
  bool feed(std::uint8_t c, Out&& out) {
    for (;;) {
      switch (state_) {
        case State::Normal:
          if (c == '\\') state_ = State::Backslash;
          else out(c);
          return true;
        case State::Backslash:
          state_ = State::Normal;
          switch (c) {
            case '\n': return true;
            case '\\': case '\'': case '"': out(c); return true;
            case 'a': out(7); return true;
            case 'b': out(8); return true;
            case 't': out(9); return true;
            case 'n': out(10); return true;
            case 'v': out(11); return true;
            case 'f': out(12); return true;
            case 'r': out(13); return true;
            case 'x': state_ = State::Hex, count_ = 0, value_ = 0; return true;
            default:
              if (c >= '0' && c <= '7') {
                state_ = State::Octal, count_ = 1, value_ = c - '0';
                return true;
              }
              out('\\');
              out(c);
              return true;
          }
        case State::Octal:
          if (c >= '0' && c <= '7') {
            value_ = value_ * 8 + (c - '0');
            if (++count_ == 3) {
              out(static_cast<std::uint8_t>(value_ & 0xFF));
              state_ = State::Normal;
            }
            return true;
          }
          out(static_cast<std::uint8_t>(value_ & 0xFF));
          state_ = State::Normal;
          continue;  // `c` is an ordinary character
        case State::Hex: {
          const int d = digit_value(c);
          if (d >= 16) return false;
          value_ = value_ * 16 + static_cast<unsigned>(d);
          if (++count_ == 2) {
            out(static_cast<std::uint8_t>(value_));
            state_ = State::Normal;
          }
          return true;
        }
      }
    }
  }
  template <class Out>
  bool finish(Out&& out) {
    if (state_ == State::Octal) out(static_cast<std::uint8_t>(value_ & 0xFF));
    return state_ == State::Normal || state_ == State::Octal;
  }

 private:
  enum class State : std::uint8_t { Normal, Backslash, Octal, Hex };
  State state_ = State::Normal;
  int count_ = 0;
  unsigned value_ = 0;
};

// Reads the byte source through its pieces, counting the bytes consumed.
class Input {
 public:
  explicit Input(ByteSource& source) : source_(source) {}

  Status byte(std::uint8_t& out) {
    if (pos_ == piece_.size()) PICKLE_TRY(refill());
    out = piece_[pos_++];
    ++consumed_;
    return {};
  }
  Status bytes(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) PICKLE_TRY(byte(out[i]));
    return {};
  }
  // Hands the next `n` bytes to `f` piece by piece, without holding them.
  template <class F>
  Status stream(std::uint64_t n, F&& f) {
    while (n > 0) {
      if (pos_ == piece_.size()) PICKLE_TRY(refill());
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, piece_.size() - pos_));
      PICKLE_TRY(f(piece_.subspan(pos_, take)));
      pos_ += take;
      consumed_ += take;
      n -= take;
    }
    return {};
  }
  // Feeds the bytes of one line to `f`, without the final newline.
  template <class F>
  Status line(F&& f) {
    for (;;) {
      std::uint8_t b;
      PICKLE_TRY(byte(b));
      if (b == '\n') return {};
      PICKLE_TRY(f(b));
    }
  }
  Status short_line(std::string& out) {
    out.clear();
    return line([&out](std::uint8_t b) -> Status {
      if (out.size() == MAX_LINE) return fail(Error::Malformed);
      out.push_back(static_cast<char>(b));
      return {};
    });
  }
  // True when no byte is left; fetches pieces until one is found or the stream ends.
  std::expected<bool, Error> at_end() {
    if (pos_ < piece_.size()) return false;
    const Status s = refill();
    if (s) return false;
    if (s.error() == Error::Truncated) return true;
    return std::unexpected(s.error());
  }
  std::uint64_t consumed() const { return consumed_; }

 private:
  Status refill() {
    const auto piece = source_.next();
    if (!piece) return fail(Error::Source);
    if (piece->empty()) return fail(Error::Truncated);
    piece_ = *piece;
    pos_ = 0;
    return {};
  }

  ByteSource& source_;
  std::span<const std::uint8_t> piece_;
  std::size_t pos_ = 0;
  std::uint64_t consumed_ = 0;
};

template <std::size_t N>
std::uint64_t le_uint(const std::uint8_t (&b)[N]) {
  std::uint64_t v = 0;
  for (std::size_t i = N; i-- > 0;) v = (v << 8) | b[i];
  return v;
}

}  // namespace

std::optional<std::string_view> Document::text(Value v) const {
  const Object& o = objects_[v.bits];
  if (o.long_text) return std::nullopt;
  return std::string_view(o.text);
}

float Document::number(Value v) const { return std::bit_cast<float>(v.bits); }

class Reader {
 public:
  Reader(ByteSource& source, const Limits& limits) : in_(source), limits_(limits) {}

  std::expected<Document, Error> run() {
    for (;;) {
      std::uint8_t op;
      PICKLE_TRY(in_.byte(op));
      if (op == STOP) return finish();
      PICKLE_TRY(step(op));
    }
  }

 private:
  // ---- memory accounting --------------------------------------------------------------------
  Status charge(std::uint64_t bytes) {
    used_ += bytes;
    if (used_ > limits_.max_bytes) return fail(Error::TooLarge);
    return {};
  }
  // Room for `extra` more elements, charging whatever capacity is added.
  template <class T>
  Status reserve_more(std::vector<T>& v, std::size_t extra) {
    const std::size_t need = v.size() + extra;
    if (need <= v.capacity()) return {};
    const std::size_t want = std::max({need, v.capacity() * 2, std::size_t{8}});
    PICKLE_TRY(charge(static_cast<std::uint64_t>(want - v.capacity()) * sizeof(T)));
    v.reserve(want);
    return {};
  }

  // ---- stack ----------------------------------------------------------------------------------
  // Items below the last mark belong to an unfinished construction and are out of reach.
  std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

  Status push(Value v) {
    PICKLE_TRY(reserve_more(stack_, 1));
    stack_.push_back(v);
    return {};
  }
  Status pop(Value& out) {
    if (stack_.size() <= fence()) return fail(Error::Malformed);
    out = stack_.back();
    stack_.pop_back();
    return {};
  }
  // Removes the last mark; the items above it are stack_[mark…].
  Status pop_mark(std::size_t& mark) {
    if (marks_.empty()) return fail(Error::Malformed);
    mark = marks_.back();
    marks_.pop_back();
    return {};
  }

  // ---- objects --------------------------------------------------------------------------------
  Status new_object(Kind kind, Value& out) {
    if (objects_.size() >= std::numeric_limits<std::uint32_t>::max()) return fail(Error::TooLarge);
    PICKLE_TRY(reserve_more(objects_, 1));
    objects_.emplace_back();
    out = Value{kind, static_cast<std::uint32_t>(objects_.size() - 1)};
    return {};
  }
  Object& object(Value v) { return objects_[v.bits]; }

  bool hashable(Value v) const {
    switch (v.kind) {
      case Kind::List: case Kind::Dict: case Kind::Set: return false;
      case Kind::Tuple: return objects_[v.bits].hashable;
      default: return true;
    }
  }
  // A class or function reference never becomes part of a value.
  static Status storable(Value v) { return v.kind == Kind::Global ? fail(Error::Reference) : Status{}; }

  // A new container of `kind` holding `items`; for sets and frozen sets every element must be
  // hashable, for dicts every key (items as key, value, …).
  Status build(Kind kind, std::span<const Value> items, Value& out) {
    bool all_hashable = true;
    for (std::size_t i = 0; i < items.size(); ++i) {
      PICKLE_TRY(storable(items[i]));
      const bool h = hashable(items[i]);
      all_hashable = all_hashable && h;
      const bool must_hash = kind == Kind::Set || kind == Kind::FrozenSet || (kind == Kind::Dict && i % 2 == 0);
      if (must_hash && !h) return fail(Error::Malformed);
    }
    if (kind == Kind::Dict && items.size() % 2 != 0) return fail(Error::Malformed);
    PICKLE_TRY(new_object(kind, out));
    PICKLE_TRY(charge(items.size() * sizeof(Value)));
    Object& o = object(out);
    o.items.assign(items.begin(), items.end());
    o.hashable = kind == Kind::Tuple ? all_hashable : kind == Kind::FrozenSet;
    return {};
  }
  Status build_from_mark(Kind kind) {
    std::size_t mark;
    PICKLE_TRY(pop_mark(mark));
    Value v;
    PICKLE_TRY(build(kind, std::span(stack_).subspan(mark), v));
    stack_.resize(mark);
    return push(v);
  }
  Status build_from_top(Kind kind, std::size_t n) {
    if (stack_.size() < fence() + n) return fail(Error::Malformed);
    Value v;
    PICKLE_TRY(build(kind, std::span(stack_).subspan(stack_.size() - n), v));
    stack_.resize(stack_.size() - n);
    return push(v);
  }
  // Appends `items` to the container `target`, which must be of kind `kind`.
  Status extend(Value target, Kind kind, std::span<const Value> items) {
    if (target.kind != kind) return fail(Error::Malformed);
    for (std::size_t i = 0; i < items.size(); ++i) {
      PICKLE_TRY(storable(items[i]));
      const bool must_hash = kind == Kind::Set || (kind == Kind::Dict && i % 2 == 0);
      if (must_hash && !hashable(items[i])) return fail(Error::Malformed);
    }
    PICKLE_TRY(reserve_more(object(target).items, items.size()));
    auto& dst = object(target).items;
    dst.insert(dst.end(), items.begin(), items.end());
    return {};
  }
  // APPENDS, SETITEMS, ADDITEMS: the items above the last mark go into the object below it.
  Status extend_from_mark(Kind kind) {
    std::size_t mark;
    PICKLE_TRY(pop_mark(mark));
    if (mark <= fence()) return fail(Error::Malformed);
    if (mark == stack_.size()) return {};  // nothing to add, as CPython does
    const auto items = std::span(stack_).subspan(mark);
    if (kind == Kind::Dict && items.size() % 2 != 0) return fail(Error::Malformed);
    PICKLE_TRY(extend(stack_[mark - 1], kind, items));
    stack_.resize(mark);
    return {};
  }
  // APPEND, SETITEM: the top `n` items go into the object below them.
  Status extend_from_top(Kind kind, std::size_t n) {
    if (stack_.size() <= fence() + n) return fail(Error::Malformed);
    const std::size_t first = stack_.size() - n;
    PICKLE_TRY(extend(stack_[first - 1], kind, std::span(stack_).subspan(first)));
    stack_.resize(first);
    return {};
  }

  // ---- scalars --------------------------------------------------------------------------------
  Status push_int(std::int64_t v) { return push(Value{Kind::Int, float_bits(static_cast<float>(v))}); }
  Status push_int_literal(const std::optional<IntLiteral>& lit) {
    if (!lit) return fail(Error::Malformed);
    if (!lit->fits) return push(Value{Kind::BigInt, 0});
    return push_int(lit->value);
  }
  Status push_float(double d) { return push(Value{Kind::Float, float_bits(static_cast<float>(d))}); }
  Status push_text(Kind kind, TextBuilder&& t) {
    Value v;
    PICKLE_TRY(new_object(kind, v));
    PICKLE_TRY(charge(t.content.capacity() > 15 ? t.content.capacity() : 0));
    Object& o = object(v);
    o.text = std::move(t.content);
    o.long_text = t.long_text;
    o.latin1 = t.latin1;
    return push(v);
  }

  // Two's-complement little-endian integer of `n` bytes (LONG1, LONG4), read as it streams.
  Status long_bytes(std::uint64_t n) {
    std::uint64_t low = 0, index = 0;
    bool high_zero = true, high_ones = true;  // bytes from the ninth on
    std::uint8_t last = 0, eighth = 0;
    PICKLE_TRY(in_.stream(n, [&](std::span<const std::uint8_t> piece) -> Status {
      for (const std::uint8_t b : piece) {
        if (index < 8) low |= std::uint64_t{b} << (8 * index);
        else high_zero = high_zero && b == 0x00, high_ones = high_ones && b == 0xFF;
        if (index == 7) eighth = b;
        last = b;
        ++index;
      }
      return {};
    }));
    if (n == 0) return push_int(0);
    const bool negative = (last & 0x80) != 0;
    if (n < 8) {
      if (negative) low |= ~std::uint64_t{0} << (8 * n);
      return push_int(static_cast<std::int64_t>(low));
    }
    const bool fits = n == 8 || (negative ? high_ones : high_zero);
    if (!fits || ((eighth & 0x80) != 0) != negative) return push(Value{Kind::BigInt, 0});
    return push_int(static_cast<std::int64_t>(low));
  }

  // ---- strings --------------------------------------------------------------------------------
  Status utf8_text(std::uint64_t n) {
    TextBuilder t;
    Utf8Check check;
    PICKLE_TRY(in_.stream(n, [&](std::span<const std::uint8_t> piece) -> Status {
      for (const std::uint8_t b : piece) {
        const std::int32_t cp = check.feed(b);
        if (cp == Utf8Check::INVALID) return fail(Error::Malformed);
        if (cp >= 0x100) t.latin1 = false;
      }
      t.add_raw(std::string_view(reinterpret_cast<const char*>(piece.data()), piece.size()));
      return {};
    }));
    if (!check.complete()) return fail(Error::Malformed);
    return push_text(Kind::Text, std::move(t));
  }
  Status raw_bytes(std::uint64_t n, Kind kind) {
    TextBuilder t;
    PICKLE_TRY(in_.stream(n, [&](std::span<const std::uint8_t> piece) -> Status {
      // Python 2 strings are decoded as ASCII, the unpickler's default.
      if (kind == Kind::Text && std::any_of(piece.begin(), piece.end(), [](std::uint8_t b) { return b >= 0x80; }))
        return fail(Error::Malformed);
      t.add_raw(std::string_view(reinterpret_cast<const char*>(piece.data()), piece.size()));
      return {};
    }));
    return push_text(kind, std::move(t));
  }
  // UNICODE: one line in raw-unicode-escape: latin-1 bytes, plus \uXXXX and \UXXXXXXXX escapes
  // after an odd run of backslashes.
  Status unicode_line() {
    TextBuilder t;
    std::uint64_t backslashes = 0;
    int hex_left = 0;
    std::uint32_t cp = 0;
    auto flush_backslashes = [&](std::uint64_t count) {
      for (std::uint64_t i = 0; i < count; ++i) t.add_code_point('\\');
    };
    PICKLE_TRY(in_.line([&](std::uint8_t b) -> Status {
      if (hex_left > 0) {
        const int d = digit_value(b);
        if (d >= 16) return fail(Error::Malformed);
        cp = cp * 16 + static_cast<std::uint32_t>(d);
        if (--hex_left == 0) {
          if (cp > 0x10FFFF) return fail(Error::Malformed);
          t.add_code_point(cp);
        }
        return {};
      }
      if (b == '\\') {
        ++backslashes;
        return {};
      }
      if ((b == 'u' || b == 'U') && backslashes % 2 == 1) {
        flush_backslashes(backslashes - 1);
        backslashes = 0;
        hex_left = b == 'u' ? 4 : 8;
        cp = 0;
        return {};
      }
      flush_backslashes(backslashes);
      backslashes = 0;
      t.add_code_point(b);
      return {};
    }));
    if (hex_left > 0) return fail(Error::Malformed);
    flush_backslashes(backslashes);
    return push_text(Kind::Text, std::move(t));
  }
  // STRING: a quoted, escaped Python 2 string on one line; decoded as ASCII.
  Status string_line() {
    TextBuilder t;
    EscapeDecoder decoder;
    std::optional<std::uint8_t> quote, pending;
    bool ok = true;
    auto out = [&](std::uint8_t c) {
      if (c >= 0x80) ok = false;
      t.add_byte(c);
    };
    PICKLE_TRY(in_.line([&](std::uint8_t b) -> Status {
      if (!quote) {
        if (b != '\'' && b != '"') return fail(Error::Malformed);
        quote = b;
        return {};
      }
      // The last byte of the line is the closing quote: decode each byte one step late.
      if (pending && !decoder.feed(*pending, out)) return fail(Error::Malformed);
      pending = b;
      return {};
    }));
    if (!quote || !pending || *pending != *quote || !decoder.finish(out) || !ok) return fail(Error::Malformed);
    return push_text(Kind::Text, std::move(t));
  }

  // ---- references -----------------------------------------------------------------------------
  Status global(std::string_view module, std::string_view name) {
    // Python 3 maps the Python 2 module name only in streams below protocol 3.
    const bool builtins = module == "builtins" || (module == "__builtin__" && proto_ < 3);
    if (builtins && name == "set") return push(Value{Kind::Global, SET});
    if (builtins && name == "frozenset") return push(Value{Kind::Global, FROZEN_SET});
    if (builtins && name == "bytes") return push(Value{Kind::Global, BYTES});
    if (module == "_codecs" && name == "encode") return push(Value{Kind::Global, ENCODE});
    return fail(Error::Reference);
  }
  Status reduce() {
    Value args, callable;
    PICKLE_TRY(pop(args));
    PICKLE_TRY(pop(callable));
    if (callable.kind != Kind::Global) return fail(Error::Malformed);  // not callable
    if (args.kind != Kind::Tuple) return fail(Error::Reference);
    const std::vector<Value> a = object(args).items;
    Value v;
    switch (callable.bits) {
      case SET:
      case FROZEN_SET: {
        if (a.size() != 1 || a[0].kind != Kind::List) return fail(Error::Reference);
        const std::vector<Value> elements = object(a[0]).items;
        PICKLE_TRY(build(callable.bits == SET ? Kind::Set : Kind::FrozenSet, elements, v));
        return push(v);
      }
      case BYTES:
        if (!a.empty()) return fail(Error::Reference);
        return push_text(Kind::Bytes, TextBuilder{});
      case ENCODE: {
        if (a.size() != 2 || a[0].kind != Kind::Text || a[1].kind != Kind::Text) return fail(Error::Reference);
        const Object& enc = object(a[1]);
        if (enc.long_text || enc.text != "latin1") return fail(Error::Reference);
        const Object& text = object(a[0]);
        if (!text.latin1) return fail(Error::Malformed);  // Python's UnicodeEncodeError
        TextBuilder t;
        if (text.long_text) {
          t.long_text = true;
        } else {
          Utf8Check check;
          for (const char c : text.text) {
            const std::int32_t cp = check.feed(static_cast<std::uint8_t>(c));
            if (cp >= 0) t.add_byte(static_cast<std::uint8_t>(cp));
          }
        }
        return push_text(Kind::Bytes, std::move(t));
      }
      default:
        return fail(Error::Reference);
    }
  }

  // ---- memo -----------------------------------------------------------------------------------
  Status memo_put(std::uint64_t key) {
    if (stack_.size() <= fence()) return fail(Error::Malformed);
    auto [it, inserted] = memo_.try_emplace(key, stack_.back());
    if (!inserted) it->second = stack_.back();
    else PICKLE_TRY(charge(MEMO_ENTRY_BYTES));
    return {};
  }
  Status memo_get(std::uint64_t key) {
    const auto it = memo_.find(key);
    if (it == memo_.end()) return fail(Error::Malformed);
    return push(it->second);
  }
  Status text_key(std::uint64_t& key) {
    std::string& line = line_;
    PICKLE_TRY(in_.short_line(line));
    const auto lit = parse_int(line, false);
    if (!lit || !lit->fits || lit->value < 0) return fail(Error::Malformed);
    key = static_cast<std::uint64_t>(lit->value);
    return {};
  }
  template <std::size_t N>
  Status binary_size(std::uint64_t& out) {
    std::uint8_t b[N];
    PICKLE_TRY(in_.bytes(b, N));
    out = le_uint(b);
    return {};
  }
  // A 4-byte length that CPython reads as signed.
  Status signed_size(std::uint64_t& out) {
    PICKLE_TRY(binary_size<4>(out));
    if (out > 0x7FFFFFFF) return fail(Error::Malformed);
    return {};
  }

  // ---- the opcodes ----------------------------------------------------------------------------
  Status step(std::uint8_t op) {
    std::uint64_t n = 0;
    std::string& line = line_;
    switch (op) {
      case MARK:
        PICKLE_TRY(reserve_more(marks_, 1));
        marks_.push_back(stack_.size());
        return {};
      case POP: {
        // Like CPython: an empty mark on top of the stack is what POP removes.
        if (!marks_.empty() && marks_.back() == stack_.size()) {
          marks_.pop_back();
          return {};
        }
        Value v;
        return pop(v);
      }
      case POP_MARK: {
        std::size_t mark;
        PICKLE_TRY(pop_mark(mark));
        stack_.resize(mark);
        return {};
      }
      case DUP:
        if (stack_.size() <= fence()) return fail(Error::Malformed);
        return push(stack_.back());
      case NONE: return push(Value{Kind::None, 0});
      case NEWTRUE: return push(Value{Kind::Bool, 1});
      case NEWFALSE: return push(Value{Kind::Bool, 0});
      case INT:
        PICKLE_TRY(in_.short_line(line));
        if (line == "00") return push(Value{Kind::Bool, 0});
        if (line == "01") return push(Value{Kind::Bool, 1});
        return push_int_literal(parse_int(line, true));
      case LONG:
        PICKLE_TRY(in_.short_line(line));
        if (!line.empty() && line.back() == 'L') line.pop_back();
        return push_int_literal(parse_int(line, true));
      case BININT: {
        PICKLE_TRY(binary_size<4>(n));
        return push_int(static_cast<std::int32_t>(static_cast<std::uint32_t>(n)));
      }
      case BININT1: PICKLE_TRY(binary_size<1>(n)); return push_int(static_cast<std::int64_t>(n));
      case BININT2: PICKLE_TRY(binary_size<2>(n)); return push_int(static_cast<std::int64_t>(n));
      case LONG1: PICKLE_TRY(binary_size<1>(n)); return long_bytes(n);
      case LONG4: PICKLE_TRY(signed_size(n)); return long_bytes(n);
      case FLOAT: {
        PICKLE_TRY(in_.short_line(line));
        const auto d = parse_float(line);
        if (!d) return fail(Error::Malformed);
        return push_float(*d);
      }
      case BINFLOAT: {
        std::uint8_t b[8];
        PICKLE_TRY(in_.bytes(b, 8));
        std::uint64_t bits = 0;
        for (const std::uint8_t x : b) bits = (bits << 8) | x;  // big-endian
        return push_float(std::bit_cast<double>(bits));
      }
      case STRING: return string_line();
      case BINSTRING: PICKLE_TRY(signed_size(n)); return raw_bytes(n, Kind::Text);
      case SHORT_BINSTRING: PICKLE_TRY(binary_size<1>(n)); return raw_bytes(n, Kind::Text);
      case UNICODE: return unicode_line();
      case BINUNICODE: PICKLE_TRY(binary_size<4>(n)); return utf8_text(n);
      case SHORT_BINUNICODE: PICKLE_TRY(binary_size<1>(n)); return utf8_text(n);
      case BINUNICODE8: PICKLE_TRY(binary_size<8>(n)); return utf8_text(n);
      case BINBYTES: PICKLE_TRY(binary_size<4>(n)); return raw_bytes(n, Kind::Bytes);
      case SHORT_BINBYTES: PICKLE_TRY(binary_size<1>(n)); return raw_bytes(n, Kind::Bytes);
      case BINBYTES8: PICKLE_TRY(binary_size<8>(n)); return raw_bytes(n, Kind::Bytes);
      case EMPTY_LIST: return build_from_top(Kind::List, 0);
      case EMPTY_TUPLE: return build_from_top(Kind::Tuple, 0);
      case EMPTY_DICT: return build_from_top(Kind::Dict, 0);
      case EMPTY_SET: return build_from_top(Kind::Set, 0);
      case LIST: return build_from_mark(Kind::List);
      case TUPLE: return build_from_mark(Kind::Tuple);
      case DICT: return build_from_mark(Kind::Dict);
      case FROZENSET: return build_from_mark(Kind::FrozenSet);
      case TUPLE1: return build_from_top(Kind::Tuple, 1);
      case TUPLE2: return build_from_top(Kind::Tuple, 2);
      case TUPLE3: return build_from_top(Kind::Tuple, 3);
      case APPEND: return extend_from_top(Kind::List, 1);
      case APPENDS: return extend_from_mark(Kind::List);
      case SETITEM: return extend_from_top(Kind::Dict, 2);
      case SETITEMS: return extend_from_mark(Kind::Dict);
      case ADDITEMS: return extend_from_mark(Kind::Set);
      case PUT: PICKLE_TRY(text_key(n)); return memo_put(n);
      case BINPUT: PICKLE_TRY(binary_size<1>(n)); return memo_put(n);
      case LONG_BINPUT: PICKLE_TRY(binary_size<4>(n)); return memo_put(n);
      case MEMOIZE: return memo_put(memo_.size());
      case GET: PICKLE_TRY(text_key(n)); return memo_get(n);
      case BINGET: PICKLE_TRY(binary_size<1>(n)); return memo_get(n);
      case LONG_BINGET: PICKLE_TRY(binary_size<4>(n)); return memo_get(n);
      case GLOBAL: {
        std::string name;
        PICKLE_TRY(in_.short_line(line));
        PICKLE_TRY(in_.short_line(name));
        return global(line, name);
      }
      case STACK_GLOBAL: {
        Value name, module;
        PICKLE_TRY(pop(name));
        PICKLE_TRY(pop(module));
        if (name.kind != Kind::Text || module.kind != Kind::Text) return fail(Error::Malformed);
        const Object& m = object(module);
        const Object& nm = object(name);
        if (m.long_text || nm.long_text) return fail(Error::Reference);
        return global(m.text, nm.text);
      }
      case REDUCE: return reduce();
      case PROTO: {
        PICKLE_TRY(binary_size<1>(n));
        if (n > HIGHEST_PROTOCOL) return fail(Error::Malformed);
        proto_ = static_cast<int>(n);
        return {};
      }
      case FRAME: {
        // A frame only announces how many bytes follow; they must all be there.
        PICKLE_TRY(binary_size<8>(n));
        const std::uint64_t end = in_.consumed() > ~n ? ~std::uint64_t{0} : in_.consumed() + n;
        frame_end_ = std::max(frame_end_, end);
        return {};
      }
      case BUILD: case INST: case OBJ: case NEWOBJ: case NEWOBJ_EX:
      case EXT1: case EXT2: case EXT4: case BYTEARRAY8:
        return fail(Error::Reference);
      case PERSID: case BINPERSID: case NEXT_BUFFER: case READONLY_BUFFER:
        return fail(Error::Unsupported);
      default:
        return fail(Error::Malformed);
    }
  }

  std::expected<Document, Error> finish() {
    Value root;
    PICKLE_TRY(pop(root));
    PICKLE_TRY(storable(root));
    const auto end = in_.at_end();
    if (!end) return std::unexpected(end.error());
    if (!*end) return std::unexpected(Error::Trailing);
    if (in_.consumed() < frame_end_) return std::unexpected(Error::Truncated);
    Document doc;
    doc.objects_ = std::move(objects_);
    doc.root_ = root;
    return doc;
  }

  Input in_;
  // The text argument of the current opcode, kept between opcodes: a protocol-0 float is often
  // longer than a string holds without the heap.
  std::string line_;
  Limits limits_;
  std::uint64_t used_ = 0;
  int proto_ = 0;
  std::uint64_t frame_end_ = 0;
  std::vector<Value> stack_;
  std::vector<std::size_t> marks_;
  std::vector<Object> objects_;
  std::unordered_map<std::uint64_t, Value> memo_;
};

std::expected<Document, Error> read(ByteSource& source, const Limits& limits) {
  return Reader(source, limits).run();
}

#undef PICKLE_TRY

}  // namespace tavroacq::pickle
