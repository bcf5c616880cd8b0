#pragma once

// What a store workflow (a build into a store, a supplement, a download) holds on its store for its whole
// run, so that a program calling the library gets the safety the command-line tool has:
//  - the store's writer lock (velmora/store_lock.h), taken once by the function that owns the workflow,
//    so that every step it takes on the store, the library's writers and its own clean-up alike, happens
//    while no other writer works on it. The inner writers it calls take the lock as a parameter and state
//    "REQUIRES: the caller holds the store's writer lock".
//  - the paths it created on its way (the store directory, parents it lacked, the lock file), removed again
//    when the workflow fails, while the lock is still held, so that no other writer can be about to use
//    them. When the lock cannot be taken nothing is removed: those paths may be the holder's.
//
//   StoreWritingScope scope(store_dir, options.lock);   // throws StoreLockedError, or waits
//   ... work that may throw, writers given scope.lock() ...
//   scope.succeeded();                                   // what it created stays

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include <sys/types.h>

#include "velmora/host_export.h"
#include "velmora/store_lock.h"

namespace velmora {

// How a workflow takes the store's writer lock when another process holds it.
struct StoreLockOptions {
  // LockWait::no: fail at once with StoreLockedError naming the holder's pid; LockWait::yes: wait.
  LockWait wait = LockWait::no;
  // With LockWait::yes, called once with the holder's pid when the wait begins (not called when the store
  // is free); an exception it throws ends the workflow before it waits.
  std::function<void(pid_t holder)> waiting;
};

// The paths a workflow creates on its way, so that a failed workflow leaves none of them behind.
//
//   NewPaths created;
//   created.watch_directory(store_dir);   // before any work: records which of them are missing now
//   ... work that may throw ...
//   created.keep();                       // success: everything stays
//
// Unless kept, the destructor removes every watched file that was missing, then every watched directory
// that was missing and is empty now, deepest first. It never removes what existed before, nor a directory
// that holds anything. A lock file must only be removed by the holder of its lock: keep the lock alive
// until this object is gone.
class VELMORA_HOST_EXPORT NewPaths {
 public:
  NewPaths() = default;
  NewPaths(const NewPaths&) = delete;
  NewPaths& operator=(const NewPaths&) = delete;
  ~NewPaths();

  // Records `directory` and each of its ancestors that does not exist yet.
  void watch_directory(const std::filesystem::path& directory);
  // Records `file` when it does not exist yet.
  void watch_file(const std::filesystem::path& file);
  void keep();

 private:
  std::vector<std::filesystem::path> directories_;
  std::vector<std::filesystem::path> files_;
};

// The writer lock of one store and the paths created under it, for the scope of one workflow. Not copyable
// or movable.
class VELMORA_HOST_EXPORT StoreWritingScope {
 public:
  // Watches `store_dir`, `more_directories` and the lock file, then takes the lock as `options` say.
  // Throws StoreLockedError (LockWait::no) when another process holds it, and what StoreWriterLock throws.
  StoreWritingScope(const std::filesystem::path& store_dir, const StoreLockOptions& options,
                    const std::vector<std::filesystem::path>& more_directories = {});
  ~StoreWritingScope();
  StoreWritingScope(const StoreWritingScope&) = delete;
  StoreWritingScope& operator=(const StoreWritingScope&) = delete;

  // The held lock, for the inner writers that require it.
  const StoreWriterLock& lock() const { return *lock_; }
  // The workflow succeeded: what it created stays.
  void succeeded() { created_.keep(); }

 private:
  std::unique_ptr<StoreWriterLock> lock_;  // declared first, released last
  NewPaths created_;
};

}  // namespace velmora
