#include "acquisition/util.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "acquisition.h"
#include "acquisition/file.h"

namespace tavroacq {

bool is_acquisition(const std::filesystem::path& path) noexcept {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  try {
    return ::stat((path / "metadata.yml").c_str(), &st) == 0;
  } catch (...) {
    return false;
  }
}

std::vector<Acquisition> list_acquisitions(const std::filesystem::path& root) {
  std::vector<Acquisition> out;
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return out;
  struct Closer {
    DIR* d;
    ~Closer() { ::closedir(d); }
  } closer{dir};
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (auto acq = Acquisition::open(root / entry->d_name)) out.push_back(std::move(*acq));
  }
  return out;
}

bool utf8_valid(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    unsigned min;
    if ((c & 0xE0) == 0xC0) { extra = 1; min = 0x80; c &= 0x1F; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; min = 0x800; c &= 0x0F; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; min = 0x10000; c &= 0x07; }
    else return false;
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

}  // namespace tavroacq
