// Helpers for the parser tests: packets built from 16-bit words, Params with settings, and the
// comparison of a parse result with the expected record or error kind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "acquisition/metadata.h"
#include "error.h"
#include "parsing/event.h"

namespace tavroacq::testing {

using Words = std::vector<std::uint16_t>;

// Concatenates groups of words (headers, windows, footers) into one sequence.
inline Words cat(std::initializer_list<Words> parts) {
  Words out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::vector<std::uint8_t> be_bytes(const Words& words) {
  std::vector<std::uint8_t> out;
  out.reserve(2 * words.size());
  for (auto w : words) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
  }
  return out;
}

// `n` words of `value`: filler for headers and footers.
inline Words fill(std::size_t n, std::uint16_t value = 0xEEEE) { return Words(n, value); }

inline Params make_params(std::string model, std::uint64_t channels, std::uint64_t windows, std::uint64_t samples,
                          std::vector<std::pair<std::string, std::uint64_t>> settings = {}) {
  Params p;
  p.model = std::move(model);
  p.channels = channels;
  p.windows = windows;
  p.samples = samples;
  for (auto& [k, v] : settings) p.additional.emplace_back(std::move(k), YamlValue::of_uint(v));
  return p;
}

// Settings of any kind (strings, nulls), for the cases that need more than integers.
using Additional = std::vector<std::pair<std::string, YamlValue>>;

inline Params make_params(std::string model, std::uint64_t channels, std::uint64_t windows, std::uint64_t samples,
                          Additional additional) {
  Params p = make_params(std::move(model), channels, windows, samples);
  p.additional = std::move(additional);
  return p;
}

struct Fields {
  std::vector<std::vector<float>> data;
  std::vector<std::vector<std::uint16_t>> labels;
  std::vector<std::vector<std::uint16_t>> time;
};

inline Fields empty_fields(std::size_t channels) {
  Fields f;
  f.data.resize(channels);
  f.labels.resize(channels);
  f.time.resize(channels);
  return f;
}

// `channels` entries, all empty except channel `c`.
inline Fields one_channel(std::size_t channels, std::size_t c, std::vector<float> data,
                          std::vector<std::uint16_t> labels, std::vector<std::uint16_t> time) {
  Fields f = empty_fields(channels);
  f.data[c] = std::move(data);
  f.labels[c] = std::move(labels);
  f.time[c] = std::move(time);
  return f;
}

// A parse either gives these fields or fails with this kind.
using Outcome = std::variant<Fields, ParsingError::Kind>;

inline std::string kind_name(ParsingError::Kind k) { return std::string(ParsingError(k).message()); }

template <class E>
void expect_outcome(const std::expected<E, ParsingError>& got, const Outcome& want, const std::string& row) {
  if (const auto* kind = std::get_if<ParsingError::Kind>(&want)) {
    ASSERT_FALSE(got.has_value()) << row << ": expected failure \"" << kind_name(*kind) << "\"";
    EXPECT_EQ(got.error().kind, *kind) << row << ": got \"" << kind_name(got.error().kind) << "\"";
    return;
  }
  ASSERT_TRUE(got.has_value()) << row << ": failed with \"" << kind_name(got.error().kind) << "\"";
  const auto& f = std::get<Fields>(want);
  EXPECT_EQ(got->data, f.data) << row << ": data";
  EXPECT_EQ(got->window_labels, f.labels) << row << ": window_labels";
  EXPECT_EQ(got->time, f.time) << row << ": time";
  EXPECT_FALSE(got->timing.has_value()) << row;
  EXPECT_FALSE(got->ecc_errors.has_value()) << row;
}

inline void expect_same_record(const EventRecord& a, const EventRecord& b, const std::string& row) {
  EXPECT_EQ(a.data, b.data) << row;
  EXPECT_EQ(a.window_labels, b.window_labels) << row;
  EXPECT_EQ(a.time, b.time) << row;
}

}  // namespace tavroacq::testing
