#include "new_paths.h"

#include <unistd.h>

#include <algorithm>

namespace velmora::tool {

namespace {

bool is_present(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

}  // namespace

void NewPaths::watch_directory(const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::path current = std::filesystem::absolute(directory, error).lexically_normal();
  if (error) return;
  if (!current.has_filename()) current = current.parent_path();  // a trailing "/"
  while (!current.empty() && !is_present(current)) {
    directories_.push_back(current);
    if (current == current.parent_path()) break;
    current = current.parent_path();
  }
}

void NewPaths::watch_file(const std::filesystem::path& file) {
  if (!is_present(file)) files_.push_back(file);
}

void NewPaths::keep() {
  directories_.clear();
  files_.clear();
}

NewPaths::~NewPaths() {
  for (const auto& file : files_) ::unlink(file.c_str());
  // Longest paths first: a directory goes before its parent, whichever watch recorded them.
  std::sort(directories_.begin(), directories_.end(),
            [](const auto& a, const auto& b) { return a.native().size() > b.native().size(); });
  for (const auto& directory : directories_) ::rmdir(directory.c_str());  // fails, harmlessly, unless empty
}

}  // namespace velmora::tool
