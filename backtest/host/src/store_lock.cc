#include "velmora/store_lock.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "messages.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// A lock file this process holds: its open descriptor and how many StoreWriterLocks share it. `owner`
// tells a forked child, which inherits the table but not the lock, that the entry is not its own.
struct HeldLock {
  dev_t device;
  ino_t inode;
  int fd;
  int holders;
  pid_t owner;
};

std::mutex held_mutex;
std::vector<HeldLock> held_locks;  // guarded by held_mutex

HeldLock* find_held(dev_t device, ino_t inode) {
  for (auto& lock : held_locks) {
    if (lock.device == device && lock.inode == inode && lock.owner == ::getpid()) return &lock;
  }
  return nullptr;
}

[[noreturn]] void fail(const std::string& action, const fs::path& lock_file, int error = errno) {
  throw VelmoraError(messages::lock_failure(action, lock_file, error));
}

// The holder's pid from the lock file; 0 when it holds none yet (the holder locks first, then writes its
// pid, so a brief wait covers the gap).
pid_t holder_pid(int fd) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    char text[32] = {};
    ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    if (got > 0) {
      long pid = std::strtol(text, nullptr, 10);
      if (pid > 0) return static_cast<pid_t>(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}

void record_holder(int fd, const fs::path& lock_file) {
  std::string text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0) fail("write", lock_file);
  if (::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) fail("write", lock_file);
}

// True when `path` still names the file open as `fd`: a lock taken on a file that someone removed or
// replaced meanwhile would not exclude a writer that opens the new file.
bool still_named(int fd, const fs::path& path) {
  struct stat open_file {}, named {};
  return ::fstat(fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0 && open_file.st_dev == named.st_dev &&
         open_file.st_ino == named.st_ino;
}

}  // namespace

StoreLockedError::StoreLockedError(const std::string& message, pid_t pid) : VelmoraError(message), pid_(pid) {}
StoreLockedError::~StoreLockedError() = default;

fs::path store_lock_path(const fs::path& store_dir) {
  fs::path store = fs::absolute(store_dir).lexically_normal();
  if (!store.has_filename()) store = store.parent_path();
  // Built by appending: GCC 12 misreports an overlap in the concatenation at -O3 (-Wrestrict).
  std::string name = ".";
  name += store.filename().string();
  name += ".lock";
  return fs::weakly_canonical(store.parent_path()) / name;
}

StoreWriterLock::StoreWriterLock(const fs::path& store_dir, LockWait wait) : lock_path_(store_lock_path(store_dir)) {
  std::error_code error;
  fs::create_directories(lock_path_.parent_path(), error);
  if (error) fail("create the directory of", lock_path_, error.value());

  for (;;) {
    int fd = ::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fail("open", lock_path_);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
      int failure = errno;
      ::close(fd);
      fail("inspect", lock_path_, failure);
    }
    device_ = info.st_dev;
    inode_ = info.st_ino;

    std::unique_lock<std::mutex> guard(held_mutex);
    if (HeldLock* held = find_held(device_, inode_)) {
      ++held->holders;
      ::close(fd);
      return;
    }
    int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    if (locked != 0 && errno == EWOULDBLOCK) {
      if (wait == LockWait::no) {
        pid_t holder = holder_pid(fd);
        ::close(fd);
        throw StoreLockedError(messages::store_locked(store_dir, holder), holder);
      }
      guard.unlock();
      do {
        locked = ::flock(fd, LOCK_EX);
      } while (locked != 0 && errno == EINTR);
      guard.lock();
    }
    if (locked != 0) {
      int failure = errno;
      ::close(fd);
      fail("take", lock_path_, failure);
    }
    if (!still_named(fd, lock_path_)) {
      ::close(fd);
      continue;
    }
    try {
      record_holder(fd, lock_path_);
    } catch (...) {
      ::close(fd);
      throw;
    }
    held_locks.push_back(HeldLock{device_, inode_, fd, 1, ::getpid()});
    return;
  }
}

StoreWriterLock::~StoreWriterLock() {
  std::lock_guard<std::mutex> guard(held_mutex);
  for (auto it = held_locks.begin(); it != held_locks.end(); ++it) {
    if (it->device != device_ || it->inode != inode_ || it->owner != ::getpid()) continue;
    if (--it->holders > 0) return;
    // Cleared before the lock goes, so that the file never names a process that no longer holds it.
    // A failure here is harmless: a stale pid is only ever shown in a message.
    [[maybe_unused]] int cleared = ::ftruncate(it->fd, 0);
    ::close(it->fd);
    held_locks.erase(it);
    return;
  }
}

}  // namespace velmora
