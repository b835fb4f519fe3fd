#include "acquisition/chunk.h"

#include <string>

#include "acquisition.h"

namespace tavroacq {

std::expected<ReadChunkFile, AcquisitionError> ReadChunkFile::open_with_index(const Acquisition& acquisition,
                                                                              std::uint64_t n) {
  const std::string stem = std::to_string(n);
  auto data = open_read_only(acquisition.path() / (stem + ".bin"));
  if (!data) return std::unexpected(AcquisitionError::Kind::InvalidPath);
  auto index = open_read_only(acquisition.path() / (stem + ".idx"));
  if (!index) return std::unexpected(AcquisitionError::Kind::InvalidPath);
  return ReadChunkFile(std::move(*data), std::move(*index));
}

std::expected<std::uint64_t, AcquisitionError> ReadChunkFile::event_count() const {
  auto size = file_size(index_.get());
  if (!size) return std::unexpected(AcquisitionError::Kind::InvalidPath);
  return *size / 8;
}

std::expected<void, AcquisitionError> ReadChunkFile::get_into(std::uint64_t index, ByteSink& sink) const {
  using Kind = AcquisitionError::Kind;
  auto index_size = file_size(index_.get());
  if (!index_size) return std::unexpected(Kind::InvalidPath);
  // index < size / 8 is the overflow-free form of "size >= 8 * index + 8".
  if (index >= *index_size / 8) return std::unexpected(Kind::IndexOutOfBounds);
  return get_counted(index, sink);
}

std::expected<void, AcquisitionError> ReadChunkFile::get_counted(std::uint64_t index, ByteSink& sink) const {
  using Kind = AcquisitionError::Kind;
  std::uint8_t rec[8];
  std::int64_t got = pread_full(index_.get(), rec, sizeof rec, index * 8);
  if (got < 0) return std::unexpected(Kind::InvalidPath);
  if (got != static_cast<std::int64_t>(sizeof rec)) return std::unexpected(Kind::IndexOutOfBounds);
  const std::uint64_t offset = std::uint64_t{rec[0]} | std::uint64_t{rec[1]} << 8 | std::uint64_t{rec[2]} << 16 |
                               std::uint64_t{rec[3]} << 24;
  const std::uint64_t length = std::uint64_t{rec[4]} | std::uint64_t{rec[5]} << 8 | std::uint64_t{rec[6]} << 16 |
                               std::uint64_t{rec[7]} << 24;

  auto data_size = file_size(data_.get());
  if (!data_size) return std::unexpected(Kind::InvalidPath);
  if (offset + length > *data_size) return std::unexpected(Kind::IndexOutOfBounds);

  std::uint8_t* dst = sink.allocate(static_cast<std::size_t>(length));
  if (length == 0) return {};
  if (dst == nullptr) throw std::bad_alloc();
  got = pread_full(data_.get(), dst, static_cast<std::size_t>(length), offset);
  if (got < 0) return std::unexpected(Kind::InvalidPath);
  if (static_cast<std::uint64_t>(got) != length) return std::unexpected(Kind::IndexOutOfBounds);
  return {};
}

std::expected<std::vector<std::uint8_t>, AcquisitionError> ReadChunkFile::get(std::uint64_t index) const {
  VectorSink sink;
  auto r = get_into(index, sink);
  if (!r) return std::unexpected(r.error());
  return std::move(sink.bytes);
}

}  // namespace tavroacq
