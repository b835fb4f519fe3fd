// The metadata document (metadata.yml) as records: the acquisition parameters that every parser,
// the pedestal correction and the export read, and the board's register settings.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"

namespace tavroacq {

struct YamlEntry;

// One YAML value as read, in the core schema's kinds. Integers that fit 64 bits keep their
// sign and magnitude (UInt for 0 and above, Int for negatives); any other number is a Float.
struct YamlValue {
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Sequence, Mapping };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t uint = 0;
  std::int64_t sint = 0;
  double number = 0.0;
  std::string text;                 // String
  std::vector<YamlValue> items;     // Sequence
  std::vector<YamlEntry> entries;   // Mapping, in document order

  static YamlValue of_uint(std::uint64_t v) {
    YamlValue y;
    y.kind = Kind::UInt;
    y.uint = v;
    return y;
  }
  static YamlValue of_string(std::string s) {
    YamlValue y;
    y.kind = Kind::String;
    y.text = std::move(s);
    return y;
  }
  bool operator==(const YamlValue&) const;
};

struct YamlEntry {
  YamlValue key;
  YamlValue value;
  bool operator==(const YamlEntry&) const = default;
};

// The acquisition parameters (the `params` section).
struct Params {
  std::string model;
  std::uint64_t channels = 0;
  std::uint64_t windows = 0;
  std::uint64_t samples = 0;
  // Every other key of `params`, in document order.
  std::vector<std::pair<std::string, YamlValue>> additional;

  // The value of an additional key, or nullptr when absent.
  const YamlValue* find(std::string_view key) const {
    for (const auto& [k, v] : additional)
      if (k == key) return &v;
    return nullptr;
  }
};

struct Metadata {
  Params params;
  std::vector<YamlEntry> registers;  // as read, in document order; nothing looks inside
};

// The text of metadata.yml turned into the record: Deserialize (with a description in `detail`)
// when it is not one YAML document matching the schema. Pure, prints nothing, and bounded in time,
// memory and stack whatever the bytes.
std::expected<Metadata, MetadataError> deserialize_metadata(std::string_view text);

}  // namespace tavroacq
