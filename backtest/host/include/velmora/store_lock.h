#pragma once

// The writer lock of a prepared-data store: one writer at a time per store directory.
//
// Every operation that changes a store (a write, a component supplement, a package download) holds this
// lock while it works, so two writers can never interleave their files and metadata. Readers take no lock:
// a store switches from old to new state atomically, and a reader that loses its files to a rewrite starts
// over.
//
// The lock is an exclusive flock(2) on a lock file beside the store, "<parent>/.<store name>.lock": it is
// never inside the store, so it is never packed into an archive, never removed by a rewrite, and stays put
// when a download exchanges the whole store directory for a new one. The kernel drops the lock when the
// holding process ends, however it ends, so a killed writer never leaves a store locked; the lock file
// itself stays and is harmless. While held, the file holds the holder's pid as decimal text, so that a
// refused writer can say who holds the store.
//
// Within one process the lock is re-entrant: a second StoreWriterLock of the same store (the lock file is
// identified by device and inode, so every spelling of the path counts) joins the one already held and the
// lock is released when the last of them goes. This lets a caller take the lock around several library
// writers, each of which takes it again. Threads of one process therefore share the lock; a forked child
// does not inherit it.

#include <filesystem>
#include <sys/types.h>

#include "velmora/errors.h"
#include "velmora/host_export.h"

namespace velmora {

// What a writer does when another process holds the store: fail at once, or wait until it is free.
enum class LockWait { no, yes };

// Another process holds the writer lock of the store. `pid()` is the holder's process id (0 when the holder
// had not yet recorded it).
class VELMORA_HOST_EXPORT StoreLockedError : public VelmoraError {
 public:
  StoreLockedError(const std::string& message, pid_t pid);
  ~StoreLockedError() override;

  pid_t pid() const noexcept { return pid_; }

 private:
  pid_t pid_;
};

// The lock file of `store_dir`: "<parent>/.<store name>.lock", with the parent directory made absolute and
// its symbolic links resolved (the store's own name is kept as written, so a store that is a symbolic link
// is locked under its link name). A trailing "/" of `store_dir` is ignored.
VELMORA_HOST_EXPORT std::filesystem::path store_lock_path(const std::filesystem::path& store_dir);

// Holds the writer lock of one store for its lifetime. Not copyable or movable: the lock belongs to a scope.
class VELMORA_HOST_EXPORT StoreWriterLock {
 public:
  // Takes the lock of `store_dir`, creating the parent directory and the lock file when missing (the store
  // directory itself need not exist). With LockWait::no it throws StoreLockedError at once when another
  // process holds the lock, its message naming the store and the holder's pid; with LockWait::yes it blocks
  // until the lock is free. Throws VelmoraError naming the lock file when it cannot be created or locked.
  explicit StoreWriterLock(const std::filesystem::path& store_dir, LockWait wait = LockWait::no);
  ~StoreWriterLock();
  StoreWriterLock(const StoreWriterLock&) = delete;
  StoreWriterLock& operator=(const StoreWriterLock&) = delete;

  const std::filesystem::path& lock_path() const { return lock_path_; }

 private:
  std::filesystem::path lock_path_;
  dev_t device_;
  ino_t inode_;
};

}  // namespace velmora
