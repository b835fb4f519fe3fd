#include "test_support.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

namespace tavroacq::testing {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tavroacq-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void write_file(const std::filesystem::path& path, const Bytes& content) {
  write_file(path, std::string(content.begin(), content.end()));
}

Bytes index_bytes(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& records) {
  Bytes out;
  for (auto [offset, length] : records) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  }
  return out;
}

void write_chunk(const std::filesystem::path& dir, unsigned n, const std::vector<Bytes>& events) {
  Bytes data;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> records;
  for (const auto& ev : events) {
    records.emplace_back(static_cast<std::uint32_t>(data.size()), static_cast<std::uint32_t>(ev.size()));
    data.insert(data.end(), ev.begin(), ev.end());
  }
  write_file(dir / (std::to_string(n) + ".bin"), data);
  write_file(dir / (std::to_string(n) + ".idx"), index_bytes(records));
}

int open_fd_count() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace tavroacq::testing
