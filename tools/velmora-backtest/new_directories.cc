#include "new_directories.h"

#include <unistd.h>

#include <algorithm>

namespace velmora::tool {

void NewDirectories::watch(const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::path current = std::filesystem::absolute(directory, error).lexically_normal();
  if (error) return;
  if (!current.has_filename()) current = current.parent_path();  // a trailing "/"
  while (!current.empty() && !std::filesystem::exists(std::filesystem::symlink_status(current, error))) {
    missing_.push_back(current);
    if (current == current.parent_path()) break;
    current = current.parent_path();
  }
}

NewDirectories::~NewDirectories() {
  // Longest paths first: a directory goes before its parent, whichever watch recorded them.
  std::sort(missing_.begin(), missing_.end(),
            [](const auto& a, const auto& b) { return a.native().size() > b.native().size(); });
  for (const auto& directory : missing_) ::rmdir(directory.c_str());  // fails, harmlessly, unless empty
}

}  // namespace velmora::tool
