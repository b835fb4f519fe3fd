#include "acquisition/file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavroacq {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    reset();
    fd_ = o.release();
  }
  return *this;
}

void UniqueFd::reset() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::expected<UniqueFd, int> open_read_only(const std::filesystem::path& path) {
  int fd;
  do {
    // Non-blocking so that a FIFO in place of a file cannot hang the open; regular files ignore it.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  return UniqueFd(fd);
}

std::expected<std::uint64_t, int> file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(errno);
  if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
  return static_cast<std::uint64_t>(st.st_size);
}

std::int64_t pread_full(int fd, void* dst, std::size_t len, std::uint64_t offset) {
  auto* out = static_cast<char*>(dst);
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd, out + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -static_cast<std::int64_t>(errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::expected<std::vector<std::uint8_t>, int> read_whole_file(const std::filesystem::path& path,
                                                              std::uint64_t max_size) {
  auto fd = open_read_only(path);
  if (!fd) return std::unexpected(fd.error());
  struct stat st;
  if (::fstat(fd->get(), &st) != 0) return std::unexpected(errno);
  if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
  // A FIFO, socket or device has no end to read to: it would block or fill memory.
  if (!S_ISREG(st.st_mode)) return std::unexpected(EINVAL);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > max_size) return std::unexpected(EFBIG);
  // The size is a hint: the file may grow or shrink while we read, so read until end of file.
  std::vector<std::uint8_t> out;
  out.resize(static_cast<std::size_t>(size) + 1);
  std::size_t done = 0;
  for (;;) {
    if (done == out.size()) out.resize(out.size() * 2);
    ssize_t n = ::read(fd->get(), out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    if (done > max_size) return std::unexpected(EFBIG);  // grew while we read
  }
  out.resize(done);
  return out;
}

}  // namespace tavroacq
