#pragma once

// Another writer of a store, as a real process: a forked child that holds the store's writer lock.

#include <filesystem>

#include <sys/types.h>

namespace velmora::testing {

// A child process that takes the lock of `store`, reports it, and holds it until told to let go (a byte on
// its pipe) or until it is killed. Before letting go it creates `released_marker`; it lets go by releasing
// the lock normally, which removes the lock file under a writer that may already wait on it.
class HoldingChild {
 public:
  HoldingChild(const std::filesystem::path& store, const std::filesystem::path& released_marker);
  ~HoldingChild();
  HoldingChild(const HoldingChild&) = delete;
  HoldingChild& operator=(const HoldingChild&) = delete;

  pid_t pid() const { return pid_; }
  void release();
  void kill();

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

}  // namespace velmora::testing
