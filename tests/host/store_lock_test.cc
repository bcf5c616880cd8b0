// The store writer lock across real processes: a second writer is refused at once with the holder's pid,
// waits when asked, and gets the lock when the holder ends (even by SIGKILL); within one process the lock
// is re-entrant; the lock file lies beside the store, never in it.

#include "velmora/store_lock.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/expect_error.h"
#include "support/lock_holder.h"
#include "support/temp_dir.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string locked_message(const fs::path& store, pid_t holder) {
  return "the store " + store.string() + " is being changed by another writer (pid " + std::to_string(holder) +
         "); wait for it to finish";
}

// What a forked child saw when it tried the lock of `store` without waiting.
struct ChildAttempt {
  bool acquired = false;
  pid_t holder = 0;          // the pid the refusal named
  std::string message;       // the refusal's text
};

ChildAttempt try_lock_in_child(const fs::path& store) {
  int channel[2];
  if (::pipe(channel) != 0) throw std::runtime_error("pipe");
  pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    std::string report;
    try {
      StoreWriterLock lock(store);
      report = "acquired";
    } catch (const StoreLockedError& error) {
      report = std::to_string(error.pid()) + "\n" + error.what();
    } catch (const std::exception& error) {
      report = std::string("other\n") + error.what();
    }
    [[maybe_unused]] auto written = ::write(channel[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string report;
  char buffer[512];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) report.append(buffer, got);
  ::close(channel[0]);
  ::waitpid(child, nullptr, 0);

  ChildAttempt attempt;
  if (report == "acquired") {
    attempt.acquired = true;
    return attempt;
  }
  auto newline = report.find('\n');
  attempt.holder = static_cast<pid_t>(std::atoi(report.substr(0, newline).c_str()));
  attempt.message = newline == std::string::npos ? report : report.substr(newline + 1);
  return attempt;
}

using testing::HoldingChild;

TEST(StoreWriterLock, LockFileLiesBesideTheStoreNeverInIt) {
  TempDir dir;
  const fs::path expected = fs::canonical(dir.path()) / ".store.lock";
  for (const fs::path& spelling : {dir / "store", fs::path((dir / "store").string() + "/"),
                                   dir / "sub" / ".." / "store"}) {
    EXPECT_EQ(store_lock_path(spelling), expected) << spelling;
  }
  {
    StoreWriterLock lock(dir / "store");
    EXPECT_EQ(lock.lock_path(), expected);
    EXPECT_TRUE(fs::exists(expected));
    EXPECT_EQ(std::stoi(testing::read_file(expected)), ::getpid());
    EXPECT_FALSE(fs::exists(dir / "store")) << "taking the lock must not create or touch the store";
  }
  EXPECT_FALSE(fs::exists(expected)) << "a released lock leaves no file behind";
}

TEST(StoreWriterLock, SecondProcessIsRefusedAtOnceNamingTheHolder) {
  TempDir dir;
  const fs::path store = dir / "store";
  HoldingChild holder(store, dir / "released");

  ChildAttempt attempt = try_lock_in_child(store);
  EXPECT_FALSE(attempt.acquired);
  EXPECT_EQ(attempt.holder, holder.pid());
  EXPECT_EQ(attempt.message, locked_message(store, holder.pid()));

  // This process is another one too.
  auto error = testing::expect_error<StoreLockedError>([&] { StoreWriterLock lock(store); },
                                                       locked_message(store, holder.pid()));
  testing::expect_kind<VelmoraError>(error, [](const VelmoraError&) {});
  holder.release();
}

TEST(StoreWriterLock, WaitingWriterGetsTheLockOnlyAfterTheHolderLetsGo) {
  TempDir dir;
  const fs::path store = dir / "store";
  const fs::path released = dir / "released";
  HoldingChild holder(store, released);

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    holder.release();
  });
  {
    StoreWriterLock lock(store, LockWait::yes);
    EXPECT_TRUE(fs::exists(released)) << "the waiting writer got the lock while the holder still had it";
    EXPECT_EQ(std::stoi(testing::read_file(lock.lock_path())), ::getpid());
  }
  releaser.join();
}

TEST(StoreWriterLock, KilledHolderLeavesTheStoreUnlocked) {
  TempDir dir;
  const fs::path store = dir / "store";
  HoldingChild holder(store, dir / "released");
  EXPECT_FALSE(try_lock_in_child(store).acquired);
  holder.kill();
  EXPECT_TRUE(try_lock_in_child(store).acquired);
  StoreWriterLock lock(store);  // and without waiting in this process
}

TEST(StoreWriterLock, ReentrantWithinOneProcessUntilTheLastHolderGoes) {
  TempDir dir;
  const fs::path store = dir / "store";
  std::optional<StoreWriterLock> outer(std::in_place, store, LockWait::no);
  {
    // Another spelling of the same store joins instead of deadlocking or failing.
    StoreWriterLock inner(dir / "x" / ".." / "store" / "", LockWait::no);
    StoreWriterLock waiting(store, LockWait::yes);
    EXPECT_EQ(try_lock_in_child(store).holder, ::getpid()) << "a forked child must not inherit the lock";
  }
  EXPECT_FALSE(try_lock_in_child(store).acquired) << "released while an outer holder still holds it";
  outer.reset();
  EXPECT_TRUE(try_lock_in_child(store).acquired);
}

TEST(StoreWriterLock, DistinctStoresDoNotExcludeEachOther) {
  TempDir dir;
  HoldingChild holder(dir / "store", dir / "released");
  for (const fs::path& other : {dir / "store2", dir / "sub" / "store", dir / "stor"}) {
    StoreWriterLock lock(other);
    EXPECT_NE(lock.lock_path(), store_lock_path(dir / "store")) << other;
  }
  holder.release();
}

}  // namespace
}  // namespace velmora
