// Small POSIX file helpers shared by the storage layer: an owned descriptor, size queries and
// positioned reads that never fault when another process truncates the file under us.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace tavroacq {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { int fd = fd_; fd_ = -1; return fd; }
  void reset();

 private:
  int fd_ = -1;
};

// Opens read-only (close-on-exec, no creation, no truncation); the errno on failure.
std::expected<UniqueFd, int> open_read_only(const std::filesystem::path& path);

// Current size of an open file; the errno on failure.
std::expected<std::uint64_t, int> file_size(int fd);

// Reads exactly `len` bytes at `offset` into `dst`. Returns the number of bytes read: fewer than
// `len` only when the file ended early (truncated meanwhile); -errno on a read error.
std::int64_t pread_full(int fd, void* dst, std::size_t len, std::uint64_t offset);

// Reads a whole regular file into memory; the errno on failure (EISDIR for a directory, EINVAL for
// any other file that is not a regular file, EFBIG for one larger than `max_size` bytes).
std::expected<std::vector<std::uint8_t>, int> read_whole_file(const std::filesystem::path& path,
                                                              std::uint64_t max_size = UINT64_MAX);

}  // namespace tavroacq
