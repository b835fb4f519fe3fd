#include "acquisition/fetcher.h"

namespace tavroacq {

std::expected<EventFetcher, AcquisitionError> EventFetcher::walk(const Acquisition& acquisition) {
  auto counts = acquisition.chunk_event_counts();
  if (!counts) return std::unexpected(counts.error());
  return EventFetcher(acquisition, std::move(*counts));
}

std::expected<void, AcquisitionError> EventFetcher::fetch(std::uint64_t index, ByteSink& sink) {
  auto at = locator_.locate(index);
  if (!at) return std::unexpected(at.error());
  if (!open_ || open_chunk_ != at->chunk) {
    open_.reset();
    // A chunk that no longer opens: the event is out of reach, as for a walk of its own.
    auto chunk = ReadChunkFile::open_with_index(*acquisition_, at->chunk);
    if (!chunk) return std::unexpected(AcquisitionError::Kind::IndexOutOfBounds);
    open_.emplace(std::move(*chunk));
    open_chunk_ = at->chunk;
  }
  return open_->get_into(at->index, sink);
}

}  // namespace tavroacq
