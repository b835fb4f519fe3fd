// Pedestals: the blob streamed from gzip into the pickle reader, the table taken out of the
// pickled object, and the per-sample subtraction.
#include "calibration/pedestals.h"

#include <algorithm>
#include <optional>

namespace tavroacq {

namespace {

using pickle::Kind;
using pickle::Value;

// The gzip member as the pickle reader's byte source; keeps the gzip reason of a failure.
class GzipSource : public pickle::ByteSource {
 public:
  GzipSource(std::span<const std::uint8_t> blob, std::uint64_t max_output) : member_(blob, max_output) {}
  std::optional<std::span<const std::uint8_t>> next() override {
    auto piece = member_.next();
    if (!piece) {
      error_ = piece.error();
      return std::nullopt;
    }
    return *piece;
  }
  GzipError error() const { return error_; }

 private:
  GzipMember member_;
  GzipError error_ = GzipError::Corrupt;
};

PedestalsError stage(PedestalsError::Stage s) { return PedestalsError{s}; }

bool is_sequence(Kind k) { return k == Kind::List || k == Kind::Tuple || k == Kind::Set || k == Kind::FrozenSet; }

// The value that holds the table, by the shape of the top-level object.
std::expected<Value, PedestalsError> table_value(const pickle::Document& doc) {
  const Value root = doc.root();
  if (root.kind == Kind::None) return std::unexpected(stage(PedestalsError::Stage::NoPedestals));
  if (root.kind == Kind::Dict) {
    const auto items = doc.items(root);
    std::optional<Value> table;
    for (std::size_t i = 0; i < items.size(); i += 2) {
      const Value key = items[i];
      if (key.kind != Kind::Text && key.kind != Kind::Bytes) return std::unexpected(stage(PedestalsError::Stage::Shape));
      if (doc.text(key) != "data") continue;
      if (table) return std::unexpected(stage(PedestalsError::Stage::Shape));  // two "data" keys
      table = items[i + 1];
    }
    if (!table) return std::unexpected(stage(PedestalsError::Stage::Shape));
    return *table;
  }
  if (is_sequence(root.kind) && !doc.items(root).empty()) return doc.items(root).front();
  return std::unexpected(stage(PedestalsError::Stage::Shape));
}

// Copies the three sequence levels out of the document; memo sharing can make a small pickle
// describe a huge table, hence the cap checked before each level is allocated.
std::expected<Pedestals, PedestalsError> extract(const pickle::Document& doc, Value table, std::uint64_t max_bytes) {
  constexpr std::uint64_t ENTRY_BYTES = sizeof(std::vector<float>);
  std::uint64_t used = 0;
  auto charge = [&](std::uint64_t bytes) {
    used += bytes;
    return used <= max_bytes;
  };
  const auto shape = std::unexpected(stage(PedestalsError::Stage::Shape));
  const auto too_large = std::unexpected(stage(PedestalsError::Stage::TooLarge));
  if (!is_sequence(table.kind)) return shape;
  const auto channels = doc.items(table);
  if (!charge(channels.size() * ENTRY_BYTES)) return too_large;
  Pedestals p;
  p.data.reserve(channels.size());
  for (const Value channel : channels) {
    if (!is_sequence(channel.kind)) return shape;
    const auto windows = doc.items(channel);
    if (!charge(windows.size() * ENTRY_BYTES)) return too_large;
    auto& out_channel = p.data.emplace_back();
    out_channel.reserve(windows.size());
    for (const Value window : windows) {
      if (!is_sequence(window.kind)) return shape;
      const auto numbers = doc.items(window);
      if (!charge(numbers.size() * sizeof(float))) return too_large;
      auto& out_window = out_channel.emplace_back();
      out_window.reserve(numbers.size());
      for (const Value number : numbers) {
        if (number.kind != Kind::Int && number.kind != Kind::Float) return shape;
        out_window.push_back(doc.number(number));
      }
    }
  }
  return p;
}

}  // namespace

std::expected<Pedestals, PedestalsError> Pedestals::from_bytes(std::span<const std::uint8_t> blob,
                                                               const PedestalsLimits& limits) {
  GzipSource source(blob, limits.max_stream_bytes);
  auto doc = pickle::read(source, limits.reader);
  if (!doc) {
    if (doc.error() == pickle::Error::Source) {
      PedestalsError e = stage(PedestalsError::Stage::Gzip);
      e.gzip = source.error();
      return std::unexpected(e);
    }
    PedestalsError e = stage(PedestalsError::Stage::Pickle);
    e.pickle = doc.error();
    return std::unexpected(e);
  }
  const auto table = table_value(*doc);
  if (!table) return std::unexpected(table.error());
  return extract(*doc, *table, limits.max_table_bytes);
}

std::expected<void, CorrectionError> correct(const Pedestals& pedestals, EventRecord& record, const Params& params) {
  const auto misfit = std::unexpected(CorrectionError{});
  const auto& table = pedestals.data;
  const std::uint64_t samples = params.samples;
  for (std::uint64_t c = 0; c < params.channels; ++c) {
    if (c >= record.window_labels.size()) return misfit;
    const auto& labels = record.window_labels[c];
    if (labels.empty()) continue;
    if (c >= record.data.size()) return misfit;
    auto& x = record.data[c];
    if (x.empty()) continue;
    if (c >= table.size()) return misfit;
    // With no samples per window, no sample has a window (and the walk below would not advance).
    if (samples == 0) return misfit;
    const auto& windows = table[c];
    // Window by window: sample j is at position j % samples of window j / samples.
    std::size_t j = 0;
    for (std::size_t w = 0; j < x.size(); ++w) {
      if (w >= labels.size()) return misfit;
      const std::uint16_t label = labels[w];
      if (label >= windows.size()) return misfit;
      const auto& offsets = windows[label];
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(samples, x.size() - j));
      const std::size_t fit = std::min(n, offsets.size());
      for (std::size_t k = 0; k < fit; ++k) x[j + k] = x[j + k] - offsets[k];
      if (fit < n) return misfit;  // the sample at position `fit` has no offset
      j += n;
    }
  }
  return {};
}

}  // namespace tavroacq
