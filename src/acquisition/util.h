// Validating and listing acquisition directories.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

namespace tavroacq {

class Acquisition;

// True when `path` is a directory (following links) holding an entry named metadata.yml.
bool is_acquisition(const std::filesystem::path& path) noexcept;

// Handles on the immediate children of `root` that are acquisitions, in directory-listing order.
// An unlistable root gives an empty result; unreadable entries are skipped.
std::vector<Acquisition> list_acquisitions(const std::filesystem::path& root);

bool utf8_valid(std::string_view text) noexcept;

}  // namespace tavroacq
