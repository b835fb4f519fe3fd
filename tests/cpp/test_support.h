// Helpers for the C++ tests: temporary acquisition directories written byte for byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tavroacq::testing {

using Bytes = std::vector<std::uint8_t>;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, const std::string& content);
void write_file(const std::filesystem::path& path, const Bytes& content);
// An index file's bytes: one little-endian (offset, length) record per pair.
Bytes index_bytes(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& records);
// Writes chunk n: data file `data` and an index of one record per event laid back to back.
void write_chunk(const std::filesystem::path& dir, unsigned n, const std::vector<Bytes>& events);
int open_fd_count();

}  // namespace tavroacq::testing
