// A reader of Python's pickle format (protocols 0 to 5) for plain data: None, booleans, integers,
// floats, text, bytes, lists, tuples, sets, frozen sets and dictionaries, memo references resolved.
// Iterative and memory-bounded; class and function references are refused (see read()).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavroacq::pickle {

// Where the reader takes its bytes from: successive pieces of one stream.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next piece, valid until the next call; empty at the end of the stream; nullopt when the
  // source itself failed (the source keeps its own reason).
  virtual std::optional<std::span<const std::uint8_t>> next() = 0;
};

enum class Error : std::uint8_t {
  Source,       // the byte source failed
  Truncated,    // the stream ends inside an opcode, an argument or a frame, or before STOP
  Malformed,    // unknown opcode, bad argument, stack underflow, missing memo entry, wrong
                // operand, unhashable key or set element
  Reference,    // a class or function reference, or an object only a reference can build
  Unsupported,  // persistent ids and out-of-band buffers
  Trailing,     // bytes follow STOP
  TooLarge,     // the value needs more memory than the limit allows
};

// Global is internal: such a value never reaches a Document.
enum class Kind : std::uint8_t { None, Bool, Int, BigInt, Float, Text, Bytes, List, Tuple, Set, FrozenSet, Dict, Global };

// A value is 8 bytes: numbers hold their nearest 32-bit float, containers and strings an object
// index. BigInt is an integer outside the signed 64-bit range; its value is not kept.
struct Value {
  Kind kind = Kind::None;
  std::uint32_t bits = 0;
};

// Texts and bytes keep their content only up to this many bytes: longer ones are never compared.
inline constexpr std::size_t SHORT_TEXT = 64;

struct Object {
  std::vector<Value> items;  // containers, in stream order; a dict as key, value, key, value, …
  std::string text;          // Text (UTF-8, surrogates allowed) or Bytes, when short
  bool long_text = false;    // longer than SHORT_TEXT: content not kept
  bool latin1 = true;        // Text: every code point is below 256
  bool hashable = true;      // Tuple: every element is hashable
};

class Document {
 public:
  Value root() const { return root_; }
  // The elements of a List, Tuple, Set, FrozenSet or Dict.
  std::span<const Value> items(Value v) const { return objects_[v.bits].items; }
  // The content of a Text or Bytes value, or nullopt when it is longer than SHORT_TEXT.
  std::optional<std::string_view> text(Value v) const;
  // An Int or Float as the nearest 32-bit float.
  float number(Value v) const;
  bool boolean(Value v) const { return v.bits != 0; }

 private:
  friend class Reader;
  std::vector<Object> objects_;
  Value root_;
};

struct Limits {
  // Bytes of values, objects and memo entries the reader may hold (8 bytes a value; containers
  // charged by their capacity). 256 MiB: twice the values of the largest pedestal table accepted.
  std::uint64_t max_bytes = std::uint64_t{1} << 28;
};

// Reads one pickle from `source`; nothing may follow its STOP opcode. The only references
// accepted are the ones Python's own pickler writes for plain data at the older protocols, each
// only with the arguments it writes: builtins.set and builtins.frozenset applied to a list,
// builtins.bytes applied to nothing, and _codecs.encode applied to a text and "latin1" (written
// __builtin__ below protocol 3). Any other reference, or one of these used otherwise, is refused.
std::expected<Document, Error> read(ByteSource& source, const Limits& limits = {});

}  // namespace tavroacq::pickle
