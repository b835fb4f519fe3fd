#include "acquisition/yaml_document.h"

#include <libfyaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>

#include "acquisition/util.h"

namespace tavroacq {
namespace {

using Kind = YamlValue::Kind;

// ---- Scalars: the YAML 1.2 core schema ---------------------------------------------------------

bool is_null_text(std::string_view s) { return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL"; }

std::optional<bool> bool_text(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

bool is_digit_in(char c, unsigned base, unsigned& value) {
  unsigned v;
  if (c >= '0' && c <= '9') v = static_cast<unsigned>(c - '0');
  else if (c >= 'a' && c <= 'f') v = static_cast<unsigned>(c - 'a' + 10);
  else if (c >= 'A' && c <= 'F') v = static_cast<unsigned>(c - 'A' + 10);
  else return false;
  if (v >= base) return false;
  value = v;
  return true;
}

// The double nearest to the unsigned integer written with `digits` in `base`. Octal and binary
// digits are regrouped into hexadecimal so that from_chars rounds them correctly too.
double nearest_double(std::string_view digits, unsigned base) {
  std::string hex;
  if (base == 2 || base == 8) {
    const unsigned bits_per_digit = base == 2 ? 1 : 3;
    std::string bits;
    for (char c : digits)
      for (unsigned k = bits_per_digit; k-- > 0;) bits.push_back(((c - '0') >> k) & 1 ? '1' : '0');
    bits.insert(0, (4 - bits.size() % 4) % 4, '0');
    for (std::size_t k = 0; k < bits.size(); k += 4) {
      unsigned v = 0;
      for (std::size_t j = 0; j < 4; ++j) v = v * 2 + (bits[k + j] == '1');
      hex.push_back("0123456789abcdef"[v]);
    }
    digits = hex;
    base = 16;
  }
  double value = std::numeric_limits<double>::infinity();
  std::from_chars(digits.data(), digits.data() + digits.size(), value,
                  base == 16 ? std::chars_format::hex : std::chars_format::general);
  return value;  // infinity when out of range
}

// An integer: optional sign, then decimal digits or 0x/0o/0b and digits of that base. Integers
// that fit keep their exact value (unsigned from 0 up, signed below); others become floats.
bool set_int(YamlNode& node, std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
    base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  std::uint64_t magnitude = 0;
  bool fits = true;
  for (char c : s) {
    unsigned d;
    if (!is_digit_in(c, base, d)) return false;
    if (magnitude > (UINT64_MAX - d) / base) fits = false;
    else magnitude = magnitude * base + d;
  }
  if (!negative || magnitude == 0) {
    if (fits) {
      node.kind = Kind::UInt;
      node.uint = magnitude;
      return true;
    }
  } else if (fits && magnitude <= std::uint64_t{1} << 63) {
    node.kind = Kind::Int;
    node.sint = static_cast<std::int64_t>(0 - magnitude);  // two's complement: -2^63 included
    return true;
  }
  node.kind = Kind::Float;
  node.number = negative ? -nearest_double(s, base) : nearest_double(s, base);
  return true;
}

// A float: [-+]?(.digits|digits[.digits*])([eE][-+]?digits)?, or the .inf/.nan spellings.
bool set_float(YamlNode& node, std::string_view s) {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") {
    node.kind = Kind::Float;
    node.number = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF") {
    node.kind = Kind::Float;
    node.number = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    return true;
  }
  std::size_t i = 0;
  auto digits = [&] {
    std::size_t start = i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i;
    return i - start;
  };
  std::size_t before = digits();
  std::size_t after = 0;
  if (i < body.size() && body[i] == '.') {
    ++i;
    after = digits();
  }
  if (before == 0 && after == 0) return false;
  bool negative_exponent = false;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) negative_exponent = body[i++] == '-';
    if (digits() == 0) return false;
  }
  if (i != body.size()) return false;
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    value = negative_exponent ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (ec != std::errc() || ptr != body.data() + body.size()) {
    return false;
  }
  node.kind = Kind::Float;
  node.number = negative ? -value : value;
  return true;
}

void resolve_plain(YamlNode& node) {
  const std::string& s = node.text;
  if (is_null_text(s)) {
    node.kind = Kind::Null;
  } else if (auto b = bool_text(s)) {
    node.kind = Kind::Bool;
    node.boolean = *b;
  } else if (!set_int(node, s) && !set_float(node, s)) {
    node.kind = Kind::String;
  }
}

constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

// The core schema's own tag named by `tag` ("str", "map", ...), or nullopt for any other tag.
std::optional<std::string_view> core_tag(std::string_view tag) {
  if (!tag.starts_with(kCoreTagPrefix)) return std::nullopt;
  std::string_view name = tag.substr(kCoreTagPrefix.size());
  for (std::string_view known : {"str", "int", "float", "bool", "null", "seq", "map"})
    if (name == known) return name;
  return std::nullopt;
}

// ---- Ordering of nodes, for finding duplicate keys ---------------------------------------------

int compare_nodes(const YamlDocument& doc, std::uint32_t ia, std::uint32_t ib) {
  if (ia == ib) return 0;
  const YamlNode& a = doc.nodes[ia];
  const YamlNode& b = doc.nodes[ib];
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  auto cmp = [](auto x, auto y) { return x < y ? -1 : y < x ? 1 : 0; };
  switch (a.kind) {
    case Kind::Null: return 0;
    case Kind::Bool: return cmp(a.boolean, b.boolean);
    case Kind::UInt: return cmp(a.uint, b.uint);
    case Kind::Int: return cmp(a.sint, b.sint);
    case Kind::Float: {
      // NaN equals NaN and sorts last, so equal keys are always adjacent.
      bool na = std::isnan(a.number), nb = std::isnan(b.number);
      if (na || nb) return cmp(na, nb);
      return cmp(a.number, b.number);
    }
    case Kind::String: return cmp(a.text.compare(b.text), 0);
    case Kind::Sequence:
    case Kind::Mapping: {
      std::size_t n = std::min(a.children.size(), b.children.size());
      for (std::size_t i = 0; i < n; ++i)
        if (int c = compare_nodes(doc, a.children[i], b.children[i])) return c;
      return cmp(a.children.size(), b.children.size());
    }
  }
  return 0;
}

std::string describe_key(const YamlNode& key) {
  if (key.is_collection()) return key.kind == Kind::Sequence ? "a sequence" : "a mapping";
  return "`" + key.text + "`";
}

std::string at(std::uint32_t line, std::uint32_t column) {
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ---- Nesting estimate before parsing ------------------------------------------------------------

// libfyaml's scanner reads a flow collection's tokens ahead until the collection's first entry is
// resolved, which for nested brackets means the whole text, at hundreds of bytes per bracket,
// before the first event arrives. So bracket nesting is estimated on the raw text first: brackets
// count outside comments and quoted scalars. It is an estimate (brackets inside plain scalars
// count, a quote inside a plain scalar may hide some); the exact depth is checked on the events.
std::optional<std::size_t> flow_depth_exceeded(std::string_view text, std::uint32_t limit) {
  std::uint32_t depth = 0;
  char prev = '\n';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool token_start = prev == '\n' || prev == '\r' || prev == ' ' || prev == '\t' || prev == '[' ||
                             prev == '{' || prev == ',';
    if (c == '#' && token_start) {
      while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
    } else if ((c == '\'' || c == '"') && (token_start || (prev == ':' && depth > 0))) {
      for (++i; i < text.size(); ++i) {
        if (c == '"' && text[i] == '\\') ++i;
        else if (text[i] == c) {
          if (c == '\'' && i + 1 < text.size() && text[i + 1] == '\'') ++i;
          else break;
        }
      }
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return i;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
    prev = i < text.size() ? text[i] : '\0';
  }
  return std::nullopt;
}

// libfyaml (0.7.12) corrupts its indentation stack when, inside an explicit key ("? "), a value
// indicator is followed on its line by a tab and then by an indicator that opens a block node ("?",
// ":", "|", ">", "-" and a blank, or a NUL byte): it reports "cannot use tab for indentation of
// block entry" and crashes when the parser is destroyed. Such text is refused before parsing once
// any explicit key indicator has been seen. The raw text is scanned, quotes and comments included,
// so that no plain scalar can hide the pattern; the price is that a tab before a block scalar
// after an explicit key has ended, or the pattern inside a quoted text, is refused too (libfyaml
// refuses the pattern anyway within the key).
std::optional<std::size_t> tab_before_block_node(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  auto blank_or_end = [&](std::size_t j) {
    return j >= text.size() || blank(text[j]) || text[j] == '\n' || text[j] == '\r' || text[j] == '\0';
  };
  bool explicit_key = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '?' && blank_or_end(i + 1)) {
      explicit_key = true;
    } else if (c == ':' && explicit_key && i + 1 < text.size() && blank(text[i + 1])) {
      std::size_t j = i + 1;
      bool tab = false;
      for (; j < text.size() && blank(text[j]); ++j) tab = tab || text[j] == '\t';
      if (tab && j < text.size()) {
        const char n = text[j];
        if (n == '?' || n == ':' || n == '|' || n == '>' || n == '\0' || (n == '-' && blank_or_end(j + 1))) return j;
      }
    }
  }
  return std::nullopt;
}

std::string position_of(std::string_view text, std::size_t offset) {
  std::uint32_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i)
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  return at(line, static_cast<std::uint32_t>(offset - line_start + 1));
}

// ---- libfyaml ------------------------------------------------------------------------------------

// Keeps the first diagnostic line as the error description; nothing ever reaches a file or stream.
void collect_diagnostic(struct fy_diag*, void* user, const char* buf, size_t len) {
  auto* out = static_cast<std::string*>(user);
  if (!out->empty()) return;
  std::string_view msg(buf, len);
  msg = msg.substr(0, std::min(msg.find('\n'), std::size_t{512}));
  out->assign(msg);
}

struct DiagDeleter {
  void operator()(fy_diag* d) const { fy_diag_destroy(d); }
};
struct ParserDeleter {
  void operator()(fy_parser* p) const { fy_parser_destroy(p); }
};

class Event {
 public:
  Event(fy_parser* p, fy_event* e) : parser_(p), event_(e) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() {
    if (event_ != nullptr) fy_parser_event_free(parser_, event_);
  }
  fy_event* get() const { return event_; }

 private:
  fy_parser* parser_;
  fy_event* event_;
};

// A token's text, read through an iterator. fy_token_get_text would cache processed text (quoted
// scalars with escapes) inside the token, and libfyaml leaks that cache when the parse then fails.
std::string token_text(fy_token* t) {
  std::string out;
  if (t == nullptr) return out;
  fy_token_iter* it = fy_token_iter_create(t);
  if (it == nullptr) throw std::bad_alloc();
  const fy_iter_chunk* chunk = nullptr;
  int err = 0;
  while ((chunk = fy_token_iter_chunk_next(it, chunk, &err)) != nullptr) out.append(chunk->str, chunk->len);
  fy_token_iter_destroy(it);
  return out;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Turns the parser's events into nodes. Containers under construction sit on an explicit stack, so
// nesting never costs native stack.
class Builder {
 public:
  explicit Builder(YamlDocument& doc) : doc_(doc) {}

  // nullopt to go on; otherwise the error (or an empty text when the stream ended cleanly).
  std::optional<std::string> on_event(fy_event* e) {
    // An empty scalar has no position of its own; it keeps the one of the event before it.
    if (const fy_mark* mark = fy_event_start_mark(e)) {
      line_ = static_cast<std::uint32_t>(mark->line) + 1;
      column_ = static_cast<std::uint32_t>(mark->column) + 1;
    }
    switch (e->type) {
      case FYET_DOCUMENT_START:
        if (++documents_ > 1) return fail("a second document in the stream");
        return std::nullopt;
      case FYET_STREAM_END: return std::string();
      case FYET_SCALAR: return scalar(e->scalar.anchor, e->scalar.tag, e->scalar.value);
      case FYET_SEQUENCE_START: return start(Kind::Sequence, e->sequence_start.anchor, e->sequence_start.tag);
      case FYET_MAPPING_START: return start(Kind::Mapping, e->mapping_start.anchor, e->mapping_start.tag);
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END: return end();
      case FYET_ALIAS: return alias(token_text(e->alias.anchor));
      default: return std::nullopt;
    }
  }

 private:
  struct Frame {
    std::uint32_t node;
    std::string anchor;
  };

  std::string fail(const std::string& what) const { return what + at(line_, column_); }
  static std::string too_deep() { return "nesting deeper than " + std::to_string(kYamlMaxDepth) + " levels"; }

  std::optional<std::uint32_t> new_node(Kind kind) {
    if (doc_.nodes.size() >= YamlDocument::kNone) return std::nullopt;
    YamlNode& n = doc_.nodes.emplace_back();
    n.kind = kind;
    n.line = line_;
    n.column = column_;
    return static_cast<std::uint32_t>(doc_.nodes.size() - 1);
  }

  std::optional<std::string> scalar(fy_token* anchor, fy_token* tag_token, fy_token* value) {
    auto idx = new_node(Kind::String);
    if (!idx) return fail("too many nodes");
    YamlNode& n = doc_.nodes[*idx];
    n.text.assign(token_text(value));
    const std::string tag = token_text(tag_token);
    const bool plain = value == nullptr || fy_token_scalar_style(value) == FYSS_PLAIN;
    if (tag_token == nullptr) {
      if (plain) {
        n.empty_plain = n.text.empty();
        resolve_plain(n);
      }
    } else if (tag != "!") {  // the non-specific tag "!" makes a scalar a string
      auto core = core_tag(tag);
      if (!core) return fail("unsupported tag `" + std::string(tag) + "`");
      bool ok = true;
      if (*core == "null") {
        ok = is_null_text(n.text);
        n.kind = Kind::Null;
      } else if (*core == "bool") {
        auto b = bool_text(n.text);
        ok = b.has_value();
        n.kind = Kind::Bool;
        n.boolean = b.value_or(false);
      } else if (*core == "int") {
        ok = set_int(n, n.text);
      } else if (*core == "float") {
        ok = set_float(n, n.text);
        if (!ok && set_int(n, n.text)) {
          ok = true;
          if (n.kind == Kind::UInt) n.number = static_cast<double>(n.uint);
          if (n.kind == Kind::Int) n.number = static_cast<double>(n.sint);
          n.kind = Kind::Float;
        }
      } else if (*core != "str") {
        ok = false;
      }
      if (!ok) return fail("invalid value `" + n.text + "` for tag `" + std::string(tag) + "`");
    }
    return finish(*idx, token_text(anchor));
  }

  std::optional<std::string> start(Kind kind, fy_token* anchor, fy_token* tag_token) {
    if (tag_token != nullptr) {
      const std::string tag = token_text(tag_token);
      auto core = core_tag(tag);
      const std::string_view want = kind == Kind::Sequence ? "seq" : "map";
      if (tag != "!" && core != want) return fail("unsupported tag `" + std::string(tag) + "`");
    }
    if (stack_.size() + 1 > kYamlMaxDepth) return fail(too_deep());
    auto idx = new_node(kind);
    if (!idx) return fail("too many nodes");
    std::string name(token_text(anchor));
    // An alias inside the node it names would make the document infinite.
    if (!name.empty()) anchors_.erase(name);
    stack_.push_back(Frame{*idx, std::move(name)});
    return std::nullopt;
  }

  std::optional<std::string> end() {
    if (stack_.empty()) return fail("unbalanced collection end");
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    YamlNode& n = doc_.nodes[frame.node];
    std::uint32_t height = 0;
    std::uint64_t expanded = 1;
    for (std::uint32_t c : n.children) {
      height = std::max(height, doc_.nodes[c].height);
      expanded = saturating_add(expanded, doc_.nodes[c].expanded);
    }
    n.height = height + 1;
    n.expanded = expanded;
    if (n.kind == Kind::Mapping) {
      if (n.children.size() % 2 != 0) return fail("mapping without a value for its last key");
      if (auto dup = duplicate_key(frame.node)) {
        const YamlNode& key = doc_.nodes[*dup];
        return "duplicate entry with key " + describe_key(key) + at(key.line, key.column);
      }
    }
    return finish(frame.node, frame.anchor);
  }

  std::optional<std::string> alias(std::string_view name) {
    auto it = anchors_.find(std::string(name));
    if (it == anchors_.end()) return fail("unknown anchor `" + std::string(name) + "`");
    const YamlNode& target = doc_.nodes[it->second];
    if (stack_.size() + target.height > kYamlMaxDepth)
      return fail(too_deep());
    alias_nodes_ = saturating_add(alias_nodes_, target.expanded);
    if (alias_nodes_ > kYamlMaxAliasNodes) return fail("aliases expand to too many nodes");
    return attach(it->second);
  }

  std::optional<std::string> finish(std::uint32_t idx, std::string_view anchor) {
    if (!anchor.empty()) anchors_.insert_or_assign(std::string(anchor), idx);
    return attach(idx);
  }

  std::optional<std::string> attach(std::uint32_t idx) {
    if (stack_.empty()) {
      if (doc_.root != YamlDocument::kNone) return fail("a second top-level node");
      doc_.root = idx;
    } else {
      doc_.nodes[stack_.back().node].children.push_back(idx);
    }
    return std::nullopt;
  }

  // The second occurrence of a key that appears twice in mapping `idx`, if any.
  std::optional<std::uint32_t> duplicate_key(std::uint32_t idx) const {
    const auto& children = doc_.nodes[idx].children;
    std::vector<std::uint32_t> order;  // positions of the keys in `children`
    for (std::uint32_t i = 0; i < children.size(); i += 2) order.push_back(i);
    auto less = [&](std::uint32_t x, std::uint32_t y) {
      int c = compare_nodes(doc_, children[x], children[y]);
      return c != 0 ? c < 0 : x < y;
    };
    std::sort(order.begin(), order.end(), less);
    for (std::size_t i = 1; i < order.size(); ++i)
      if (compare_nodes(doc_, children[order[i - 1]], children[order[i]]) == 0) return children[order[i]];
    return std::nullopt;
  }

  YamlDocument& doc_;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, std::uint32_t> anchors_;
  std::uint64_t alias_nodes_ = 0;
  unsigned documents_ = 0;
  std::uint32_t line_ = 0;
  std::uint32_t column_ = 0;
};

}  // namespace

std::expected<YamlDocument, std::string> read_yaml_document(std::string_view text) {
  // YAML text is Unicode; libfyaml also loops forever on some invalid sequences (in a directive).
  if (!utf8_valid(text)) return std::unexpected(std::string("invalid UTF-8"));
  if (auto where = flow_depth_exceeded(text, kYamlMaxDepth))
    return std::unexpected("nesting deeper than " + std::to_string(kYamlMaxDepth) + " levels" +
                           position_of(text, *where));
  if (auto where = tab_before_block_node(text))
    return std::unexpected("a block node after a tab in an explicit key" + position_of(text, *where));

  std::string diagnostic;
  fy_diag_cfg dcfg;
  fy_diag_cfg_default(&dcfg);
  dcfg.fp = nullptr;
  dcfg.output_fn = collect_diagnostic;
  dcfg.user = &diagnostic;
  dcfg.level = FYET_ERROR;
  dcfg.colorize = false;
  dcfg.show_source = false;
  dcfg.show_position = true;
  dcfg.show_type = false;
  dcfg.show_module = false;
  std::unique_ptr<fy_diag, DiagDeleter> diag(fy_diag_create(&dcfg));
  if (!diag) throw std::bad_alloc();

  fy_parse_cfg cfg{};
  cfg.flags = static_cast<fy_parse_cfg_flags>(FYPCF_QUIET | FYPCF_DEFAULT_VERSION_1_2 | FYPCF_JSON_NONE);
  cfg.diag = diag.get();
  std::unique_ptr<fy_parser, ParserDeleter> parser(fy_parser_create(&cfg));
  if (!parser) throw std::bad_alloc();
  // libfyaml wants a non-null buffer even for an empty text.
  static const char kEmpty[1] = {};
  if (fy_parser_set_string(parser.get(), text.empty() ? kEmpty : text.data(), text.size()) != 0)
    throw std::bad_alloc();

  YamlDocument doc;
  Builder builder(doc);
  for (;;) {
    Event event(parser.get(), fy_parser_parse(parser.get()));
    if (event.get() == nullptr) {
      if (!diagnostic.empty()) {
        // "<input name>:line:col: message": the input name is an address, of no use to anyone.
        auto colon = diagnostic.find(">:");
        return std::unexpected(colon == std::string::npos ? diagnostic : diagnostic.substr(colon + 2));
      }
      return std::unexpected(std::string("invalid YAML"));
    }
    if (auto outcome = builder.on_event(event.get())) {
      if (!outcome->empty()) return std::unexpected(std::move(*outcome));
      if (fy_parser_get_stream_error(parser.get())) return std::unexpected(std::string("invalid YAML"));
      return doc;
    }
  }
}

YamlValue to_yaml_value(const YamlDocument& doc, std::uint32_t idx) {
  const YamlNode& n = doc.nodes[idx];
  YamlValue v;
  v.kind = n.kind;
  switch (n.kind) {
    case Kind::Null: break;
    case Kind::Bool: v.boolean = n.boolean; break;
    case Kind::UInt: v.uint = n.uint; break;
    case Kind::Int: v.sint = n.sint; break;
    case Kind::Float: v.number = n.number; break;
    case Kind::String: v.text = n.text; break;
    case Kind::Sequence:
      v.items.reserve(n.children.size());
      for (std::uint32_t c : n.children) v.items.push_back(to_yaml_value(doc, c));
      break;
    case Kind::Mapping:
      v.entries.reserve(n.children.size() / 2);
      for (std::size_t i = 0; i + 1 < n.children.size(); i += 2)
        v.entries.push_back(YamlEntry{to_yaml_value(doc, n.children[i]), to_yaml_value(doc, n.children[i + 1])});
      break;
  }
  return v;
}

}  // namespace tavroacq
