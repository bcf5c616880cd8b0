#include "velmora/store_writing.h"

#include <unistd.h>

#include <algorithm>

namespace velmora {

namespace {

bool is_present(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

std::unique_ptr<StoreWriterLock> lock_store(const std::filesystem::path& store_dir, const StoreLockOptions& options) {
  try {
    return std::make_unique<StoreWriterLock>(store_dir, LockWait::no);
  } catch (const StoreLockedError& error) {
    if (options.wait == LockWait::no) throw;
    if (options.waiting) options.waiting(error.pid());
  }
  return std::make_unique<StoreWriterLock>(store_dir, LockWait::yes);
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

StoreWritingScope::StoreWritingScope(const std::filesystem::path& store_dir, const StoreLockOptions& options,
                                     const std::vector<std::filesystem::path>& more_directories) {
  created_.watch_directory(store_dir);
  for (const auto& directory : more_directories) created_.watch_directory(directory);
  created_.watch_file(store_lock_path(store_dir));
  try {
    lock_ = lock_store(store_dir, options);
  } catch (...) {
    created_.keep();
    throw;
  }
}

StoreWritingScope::~StoreWritingScope() = default;

}  // namespace velmora
