#include "support/dir_snapshot.h"

#include <algorithm>

#include "support/temp_dir.h"

namespace velmora::testing {

DirSnapshot snapshot_dir(const std::filesystem::path& dir) {
  DirSnapshot snapshot;
  if (!std::filesystem::exists(dir)) return snapshot;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    std::string name = entry.path().lexically_relative(dir).generic_string();
    if (entry.is_symlink()) {
      snapshot[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      snapshot[name] = "<dir>";
    } else {
      snapshot[name] = read_file(entry.path());
    }
  }
  return snapshot;
}

std::vector<std::string> tree(const std::filesystem::path& dir) {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    paths.push_back(entry.path().lexically_relative(dir).string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace velmora::testing
