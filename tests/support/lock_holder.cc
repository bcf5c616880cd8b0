#include "support/lock_holder.h"

#include <csignal>
#include <optional>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.h"
#include "velmora/store_lock.h"

namespace velmora::testing {

HoldingChild::HoldingChild(const std::filesystem::path& store, const std::filesystem::path& released_marker) {
  int ready[2], release[2];
  if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    std::optional<StoreWriterLock> lock(std::in_place, store);
    [[maybe_unused]] auto signalled = ::write(ready[1], "x", 1);
    char byte;
    [[maybe_unused]] auto got = ::read(release[0], &byte, 1);
    write_file(released_marker, "released");
    lock.reset();
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  release_ = release[1];
  char byte;
  if (::read(ready[0], &byte, 1) != 1) throw std::runtime_error("child did not take the lock");
  ::close(ready[0]);
}

HoldingChild::~HoldingChild() {
  if (release_ >= 0) ::close(release_);
  if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
}

void HoldingChild::release() {
  [[maybe_unused]] auto written = ::write(release_, "x", 1);
}

void HoldingChild::kill() {
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace velmora::testing
