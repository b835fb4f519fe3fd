// Fetching many events of one acquisition within one call: the chunks are walked once, and the
// chunk of the previous event stays open, so a run of events in one chunk opens it once.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "acquisition.h"

namespace tavroacq {

// Gives the same events as Acquisition::get for a directory that does not change meanwhile.
// Lives within one call: the next call walks the chunks afresh.
class EventFetcher {
 public:
  static std::expected<EventFetcher, AcquisitionError> walk(const Acquisition& acquisition);
  std::uint64_t total() const { return locator_.total(); }
  std::expected<void, AcquisitionError> fetch(std::uint64_t index, ByteSink& sink);

 private:
  EventFetcher(const Acquisition& acquisition, std::vector<std::uint64_t> counts)
      : acquisition_(&acquisition), locator_(std::move(counts)) {}
  const Acquisition* acquisition_;
  EventLocator locator_;
  std::optional<ReadChunkFile> open_;
  std::uint64_t open_chunk_ = 0;
};

}  // namespace tavroacq
