#include "writer_lock.h"

#include <string>

namespace velmora::tool {

namespace {

std::unique_ptr<StoreWriterLock> lock_store(const std::filesystem::path& store_dir, bool wait, StatusLine& status) {
  try {
    return std::make_unique<StoreWriterLock>(store_dir, LockWait::no);
  } catch (const StoreLockedError& error) {
    if (!wait) throw;
    status.show("waiting for the writer with pid " + std::to_string(error.pid()) + " to finish with the store");
  }
  auto lock = std::make_unique<StoreWriterLock>(store_dir, LockWait::yes);
  status.finish();
  return lock;
}

}  // namespace

WritingScope::WritingScope(const std::filesystem::path& store_dir,
                           const std::vector<std::filesystem::path>& more_directories, bool wait,
                           StatusLine& status) {
  created_.watch_directory(store_dir);
  for (const auto& directory : more_directories) created_.watch_directory(directory);
  const std::filesystem::path lock_file = store_lock_path(store_dir);
  created_.watch_file(lock_file);
  try {
    lock_ = lock_store(store_dir, wait, status);
  } catch (...) {
    created_.keep();
    throw;
  }
}

}  // namespace velmora::tool
