#include "acquisition.h"

#include <algorithm>

#include "acquisition/util.h"

namespace tavroacq {

std::expected<Acquisition, AcquisitionError> Acquisition::open(std::filesystem::path path) {
  if (!is_acquisition(path)) return std::unexpected(AcquisitionError::Kind::InvalidPath);
  return Acquisition(std::move(path));
}

std::string Acquisition::name() const {
  // Final normal component after dropping repeated and trailing separators and "." components.
  std::string last;
  bool normal = false;
  bool any = false;
  for (const auto& part : path_) {
    const std::string& s = part.native();
    if (s.empty() || s == ".") {
      if (!any && s == ".") {  // a leading "." counts as the (non-normal) final component
        last = s;
        normal = false;
        any = true;
      }
      continue;
    }
    any = true;
    last = s;
    normal = !(s == "/" || s == "..");
  }
  if (!normal) throw InternalFailure("could not get acquisition name");
  if (!utf8_valid(last)) throw InternalFailure("invalid acquisition name");
  return last;
}

std::uint64_t Acquisition::chunk_count() const {
  std::uint64_t n = 0;
  while (ReadChunkFile::open_with_index(*this, n)) ++n;
  return n;
}

std::expected<std::uint64_t, AcquisitionError> Acquisition::len() const {
  auto counts = chunk_event_counts();
  if (!counts) return std::unexpected(counts.error());
  std::uint64_t sum = 0;
  for (auto c : *counts) sum += c;
  return sum;
}

std::expected<std::vector<std::uint64_t>, AcquisitionError> Acquisition::chunk_event_counts() const {
  std::vector<std::uint64_t> counts;
  for (std::uint64_t n = 0;; ++n) {
    auto chunk = ReadChunkFile::open_with_index(*this, n);
    if (!chunk) return counts;
    auto c = chunk->event_count();
    if (!c) return std::unexpected(c.error());
    counts.push_back(*c);
  }
}

std::expected<void, AcquisitionError> Acquisition::get_into(std::uint64_t index, ByteSink& sink) const {
  std::uint64_t i = index;
  for (std::uint64_t n = 0;; ++n) {
    auto chunk = ReadChunkFile::open_with_index(*this, n);
    if (!chunk) return std::unexpected(AcquisitionError::Kind::IndexOutOfBounds);
    auto c = chunk->event_count();
    if (!c) return std::unexpected(c.error());
    if (i < *c) return chunk->get_counted(i, sink);
    i -= *c;
  }
}

std::expected<std::vector<std::uint8_t>, AcquisitionError> Acquisition::get(std::uint64_t index) const {
  VectorSink sink;
  auto r = get_into(index, sink);
  if (!r) return std::unexpected(r.error());
  return std::move(sink.bytes);
}

std::expected<void, AcquisitionError> Acquisition::get_in_chunk(std::uint64_t chunk, std::uint64_t index,
                                                                ByteSink& sink) const {
  auto file = ReadChunkFile::open_with_index(*this, chunk);
  if (!file) return std::unexpected(AcquisitionError::Kind::IndexOutOfBounds);
  return file->get_into(index, sink);
}

EventLocator::EventLocator(std::vector<std::uint64_t> counts) : counts_(std::move(counts)) {
  starts_.reserve(counts_.size());
  for (auto c : counts_) {
    starts_.push_back(total_);
    total_ += c;
  }
}

std::expected<EventLocator::Position, AcquisitionError> EventLocator::locate(std::uint64_t index) const {
  if (index >= total_) return std::unexpected(AcquisitionError::Kind::IndexOutOfBounds);
  // Last chunk whose first event is at or before `index` and which holds events.
  auto it = std::upper_bound(starts_.begin(), starts_.end(), index);
  // Among chunks sharing a start (empty ones), upper_bound lands after the last, which holds it.
  std::size_t n = static_cast<std::size_t>(it - starts_.begin()) - 1;
  return Position{n, index - starts_[n]};
}

}  // namespace tavroacq
