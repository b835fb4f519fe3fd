// The handle on one acquisition directory: validity, counting and fetching raw events across the
// numbered chunks. Immutable; every operation opens what it needs and closes it before returning.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/chunk.h"
#include "acquisition/metadata.h"
#include "error.h"

namespace tavroacq {

// The four optional auxiliary files (gzip-compressed pickles), in this order.
enum class MiscDataKind : std::uint8_t { ReadoutMetadata, PedestalsCalibration, TimingCalibration, Adc2MvCalibration };

struct MiscData {
  std::vector<std::uint8_t> bytes;  // the file's whole content
  MiscDataKind kind;
};

class Acquisition {
 public:
  // A handle on `path` when it is an acquisition directory, otherwise InvalidPath.
  static std::expected<Acquisition, AcquisitionError> open(std::filesystem::path path);

  const std::filesystem::path& path() const { return path_; }

  // The directory's own name. Throws InternalFailure "could not get acquisition name" or
  // "invalid acquisition name".
  std::string name() const;

  std::uint64_t chunk_count() const;
  std::expected<std::uint64_t, AcquisitionError> len() const;
  std::expected<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) const;
  std::expected<void, AcquisitionError> get_into(std::uint64_t index, ByteSink& sink) const;

  // The whole text of metadata.yml (ReadFailed "failed to read metadata" when it cannot be read
  // or is not UTF-8), and that text deserialized into the metadata record.
  std::expected<std::string, AcquisitionError> metadata_str() const;
  std::expected<Metadata, MetadataError> metadata() const;

  // An auxiliary file's content: NoSuchMiscData when absent, ReadFailed with the OS text otherwise.
  // A file larger than `max_size` bytes is not read: ReadFailed with the OS text of EFBIG.
  std::expected<MiscData, AcquisitionError> misc_data(MiscDataKind kind, std::uint64_t max_size = UINT64_MAX) const;

  // One walk of the chunks: the event count of each chunk that opens, in chunk order. Lets a
  // single call (a slice, an export) locate many events without walking again per event.
  std::expected<std::vector<std::uint64_t>, AcquisitionError> chunk_event_counts() const;
  // Event `index` of chunk `chunk`, as located through chunk_event_counts().
  std::expected<void, AcquisitionError> get_in_chunk(std::uint64_t chunk, std::uint64_t index,
                                                     ByteSink& sink) const;

 private:
  explicit Acquisition(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

// Locates global event indices within chunks from one list of per-chunk counts.
class EventLocator {
 public:
  explicit EventLocator(std::vector<std::uint64_t> counts);
  std::uint64_t total() const { return total_; }
  struct Position {
    std::uint64_t chunk;
    std::uint64_t index;
  };
  // Chunk and index within it of global event `index`, or IndexOutOfBounds.
  std::expected<Position, AcquisitionError> locate(std::uint64_t index) const;

 private:
  std::vector<std::uint64_t> starts_;  // global index of each chunk's first event
  std::vector<std::uint64_t> counts_;
  std::uint64_t total_ = 0;
};

}  // namespace tavroacq
