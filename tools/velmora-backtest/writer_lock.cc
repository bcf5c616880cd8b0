#include "writer_lock.h"

#include <string>

namespace velmora::tool {

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

}  // namespace velmora::tool
