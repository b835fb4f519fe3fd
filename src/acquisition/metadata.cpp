// Reading metadata.yml and turning it into the Metadata record: the schema of `params` and
// `registers` on top of the YAML document reader.
#include "acquisition/metadata.h"

#include <string>
#include <optional>
#include <unordered_set>

#include "acquisition.h"
#include "acquisition/file.h"
#include "acquisition/util.h"
#include "acquisition/yaml_document.h"

namespace tavroacq {
namespace {

using Kind = YamlValue::Kind;

std::unexpected<MetadataError> fail(std::string detail) {
  return std::unexpected(MetadataError(MetadataError::Kind::Deserialize, std::move(detail)));
}

std::string at(const YamlNode& n) {
  return " at line " + std::to_string(n.line) + " column " + std::to_string(n.column);
}

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Null: return "null";
    case Kind::Bool: return "a boolean";
    case Kind::UInt: return "an unsigned integer";
    case Kind::Int: return "a negative integer";
    case Kind::Float: return "a float";
    case Kind::String: return "a string";
    case Kind::Sequence: return "a sequence";
    case Kind::Mapping: return "a mapping";
  }
  return "a value";
}

// A mapping node's children (key, value, ...), where a plain empty value stands for no entries.
std::expected<const std::vector<std::uint32_t>*, MetadataError> mapping_of(const YamlDocument& doc,
                                                                           std::uint32_t idx,
                                                                           std::string_view what) {
  static const std::vector<std::uint32_t> kNoEntries;
  const YamlNode& n = doc.nodes[idx];
  if (n.kind == Kind::Mapping) return &n.children;
  if (n.empty_plain) return &kNoEntries;
  return fail("invalid type: " + std::string(kind_name(n.kind)) + ", expected a mapping for " + std::string(what) +
              at(n));
}

std::expected<Params, MetadataError> read_params(const YamlDocument& doc, std::uint32_t idx) {
  auto entries = mapping_of(doc, idx, "`params`");
  if (!entries) return std::unexpected(entries.error());
  Params params;
  bool have_model = false, have_channels = false, have_windows = false, have_samples = false;
  // Keys are compared by their text: 1 and "1" name the same parameter.
  std::unordered_set<std::string_view> seen;
  const auto& children = **entries;
  for (std::size_t i = 0; i + 1 < children.size(); i += 2) {
    const YamlNode& key = doc.nodes[children[i]];
    const YamlNode& value = doc.nodes[children[i + 1]];
    if (key.is_collection())
      return fail("invalid type: " + std::string(kind_name(key.kind)) + " as a key of `params`" + at(key));
    if (!seen.insert(key.text).second) return fail("duplicate entry with key `" + key.text + "`" + at(key));

    auto unsigned_field = [&](std::uint64_t& field, bool& have) -> std::expected<void, MetadataError> {
      if (value.kind != Kind::UInt)
        return fail("invalid type: " + std::string(kind_name(value.kind)) + ", expected an unsigned 64-bit integer for `" +
                    key.text + "`" + at(value));
      field = value.uint;
      have = true;
      return {};
    };
    std::expected<void, MetadataError> ok;
    if (key.text == "model") {
      if (value.is_collection())
        return fail("invalid type: " + std::string(kind_name(value.kind)) + ", expected a scalar for `model`" + at(value));
      params.model = value.text;
      have_model = true;
    } else if (key.text == "channels") {
      ok = unsigned_field(params.channels, have_channels);
    } else if (key.text == "windows") {
      ok = unsigned_field(params.windows, have_windows);
    } else if (key.text == "samples") {
      ok = unsigned_field(params.samples, have_samples);
    } else {
      params.additional.emplace_back(key.text, to_yaml_value(doc, children[i + 1]));
    }
    if (!ok) return std::unexpected(ok.error());
  }
  if (!have_model) return fail("missing field `model`");
  if (!have_channels) return fail("missing field `channels`");
  if (!have_windows) return fail("missing field `windows`");
  if (!have_samples) return fail("missing field `samples`");
  return params;
}

}  // namespace

std::expected<Metadata, MetadataError> deserialize_metadata(std::string_view text) {
  auto doc = read_yaml_document(text);
  if (!doc) return fail(std::move(doc.error()));

  // No document at all, or an empty one, is an empty top-level mapping.
  std::optional<std::uint32_t> params_node, registers_node;
  if (doc->root != YamlDocument::kNone) {
    auto top = mapping_of(*doc, doc->root, "the document");
    if (!top) return std::unexpected(top.error());
    const auto& children = **top;
    for (std::size_t i = 0; i + 1 < children.size(); i += 2) {
      const YamlNode& key = doc->nodes[children[i]];
      if (key.is_collection()) continue;
      if (key.text == "params") params_node = children[i + 1];
      else if (key.text == "registers") registers_node = children[i + 1];
    }
  }
  if (!params_node) return fail("missing field `params`");
  if (!registers_node) return fail("missing field `registers`");

  Metadata metadata;
  auto params = read_params(*doc, *params_node);
  if (!params) return std::unexpected(params.error());
  metadata.params = std::move(*params);

  auto registers = mapping_of(*doc, *registers_node, "`registers`");
  if (!registers) return std::unexpected(registers.error());
  const auto& children = **registers;
  metadata.registers.reserve(children.size() / 2);
  for (std::size_t i = 0; i + 1 < children.size(); i += 2)
    metadata.registers.push_back(YamlEntry{to_yaml_value(*doc, children[i]), to_yaml_value(*doc, children[i + 1])});
  return metadata;
}

std::expected<std::string, AcquisitionError> Acquisition::metadata_str() const {
  auto bytes = read_whole_file(path_ / "metadata.yml");
  if (!bytes) return std::unexpected(AcquisitionError::read_failed("failed to read metadata"));
  std::string text(bytes->begin(), bytes->end());
  if (!utf8_valid(text)) return std::unexpected(AcquisitionError::read_failed("failed to read metadata"));
  return text;
}

std::expected<Metadata, MetadataError> Acquisition::metadata() const {
  auto text = metadata_str();
  if (!text) return std::unexpected(MetadataError::Kind::Unreadable);
  return deserialize_metadata(*text);
}

}  // namespace tavroacq
