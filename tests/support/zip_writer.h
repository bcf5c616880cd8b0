#pragma once

// Writes real zip archives for tests, with the zip library itself: stored or deflated members, directory
// members (names ending in "/"), members marked as symbolic links, and names exactly as given (including
// "../x" or "/abs" names that a safe extractor must refuse).

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::testing {

struct ZipMember {
  std::string name;
  std::string data;
  bool deflate = false;
  bool symlink = false;  // marked as a Unix symbolic link; `data` is the link text
};

void write_zip(const std::filesystem::path& path, const std::vector<ZipMember>& members);

}  // namespace velmora::testing
