// One chunk of an acquisition: the data file of raw event packets and the index file of 8-byte
// (offset, length) records that locate them.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "acquisition/file.h"
#include "error.h"

namespace tavroacq {

class Acquisition;

// Where a fetched event's bytes go: the caller allocates the destination (a std::vector, or a
// Python bytes object) once the length is known, so the bytes are read straight into it.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Returns a buffer of `len` writable bytes, or nullptr when allocation failed.
  virtual std::uint8_t* allocate(std::size_t len) = 0;
};

class VectorSink final : public ByteSink {
 public:
  std::vector<std::uint8_t> bytes;
  std::uint8_t* allocate(std::size_t len) override {
    bytes.resize(len);
    return bytes.data();
  }
};

class ReadChunkFile {
 public:
  static std::expected<ReadChunkFile, AcquisitionError> open_with_index(const Acquisition& acquisition,
                                                                        std::uint64_t n);

  // Number of whole 8-byte records in the index file right now.
  std::expected<std::uint64_t, AcquisitionError> event_count() const;

  // Event `index` of this chunk. Sizes are taken at each call; a file truncated while we read
  // yields IndexOutOfBounds, never a fault.
  std::expected<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) const;
  std::expected<void, AcquisitionError> get_into(std::uint64_t index, ByteSink& sink) const;
  // The same, for an `index` below a count this object's event_count() has just given: the index
  // file is not sized again. A file truncated since still yields IndexOutOfBounds.
  std::expected<void, AcquisitionError> get_counted(std::uint64_t index, ByteSink& sink) const;

 private:
  ReadChunkFile(UniqueFd data, UniqueFd index) : data_(std::move(data)), index_(std::move(index)) {}
  UniqueFd data_;
  UniqueFd index_;
};

}  // namespace tavroacq
