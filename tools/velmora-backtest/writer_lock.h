#pragma once

// What a writing command (build, supplement, download) holds on its store for its whole run:
//  - the store's writer lock, so that every step it takes on the store, the library's writers and its own
//    clean-up alike, happens while no other writer works on that store. Without --wait a store that
//    another process holds fails at once with the lock's own message, which names the holder's pid; with
//    --wait the command shows whom it waits for and blocks until the store is free.
//  - the paths it created on its way (the store directory, parents it lacked, the lock file), removed again
//    when the command fails, while the lock is still held, so that no other writer can be about to use
//    them. When the lock cannot be taken nothing is removed: those paths may be the holder's.

#include <filesystem>
#include <memory>
#include <vector>

#include "new_paths.h"
#include "progress.h"
#include "velmora/store_lock.h"

namespace velmora::tool {

class WritingScope {
 public:
  // Watches `store_dir` and `more_directories`, then takes the lock.
  WritingScope(const std::filesystem::path& store_dir, const std::vector<std::filesystem::path>& more_directories,
               bool wait, StatusLine& status);
  // The command succeeded: what it created stays.
  void succeeded() { created_.keep(); }

 private:
  std::unique_ptr<StoreWriterLock> lock_;  // declared first, released last
  NewPaths created_;
};

}  // namespace velmora::tool
