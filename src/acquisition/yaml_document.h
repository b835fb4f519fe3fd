// One YAML document read into a graph of nodes with the YAML 1.2 core schema's scalar kinds. An
// alias shares the node it names instead of copying it, so the graph grows with the text alone.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/metadata.h"

namespace tavroacq {

struct YamlNode {
  YamlValue::Kind kind = YamlValue::Kind::Null;
  bool boolean = false;
  std::uint64_t uint = 0;
  std::int64_t sint = 0;
  double number = 0.0;
  bool empty_plain = false;  // an untagged plain scalar with no text: "key:" followed by nothing
  std::string text;          // every scalar's text as written (after unescaping and folding)
  std::vector<std::uint32_t> children;  // Sequence: items; Mapping: key, value, key, value, ...
  std::uint64_t expanded = 1;  // nodes in a full copy with every alias followed, this one included
  std::uint32_t height = 1;    // nesting levels in that copy; 1 for a scalar
  std::uint32_t line = 0;      // 1-based position of the node in the text
  std::uint32_t column = 0;

  bool is_collection() const { return kind == YamlValue::Kind::Sequence || kind == YamlValue::Kind::Mapping; }
};

struct YamlDocument {
  std::vector<YamlNode> nodes;
  // The document's top node; absent when the text holds no document at all.
  static constexpr std::uint32_t kNone = UINT32_MAX;
  std::uint32_t root = kNone;
};

// Limits that keep hostile text cheap: nesting levels (after following aliases), and the nodes
// that following all aliases may add to the document.
inline constexpr std::uint32_t kYamlMaxDepth = 512;
inline constexpr std::uint64_t kYamlMaxAliasNodes = std::uint64_t{1} << 18;

// Reads exactly one YAML document (an empty text gives none). Rejects a second document,
// duplicate keys in any mapping, tags outside the core schema, undefined aliases, and anything
// beyond the limits above. The error is a description with its position. Prints nothing.
std::expected<YamlDocument, std::string> read_yaml_document(std::string_view text);

// A full copy of `node` as a YamlValue, every alias followed.
YamlValue to_yaml_value(const YamlDocument& doc, std::uint32_t node);

}  // namespace tavroacq
