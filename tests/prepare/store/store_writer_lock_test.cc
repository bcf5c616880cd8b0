// Every store writer holds the store's writer lock: while another process holds it, a write and a
// supplement are refused at once naming the holder and leave the store byte for byte as it was; a caller
// that holds the lock itself can still call them.

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "store_fixture.h"
#include "support/dir_snapshot.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store.h"
#include "velmora/store_lock.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::sample_payload;
using testing::snapshot_dir;
using testing::TempDir;

const std::string C1 = "rq_index_components_new_000300.XSHG";
const std::string X = "rq_index_components_new_000905.XSHG";

// A child process that holds the lock of `store` until destroyed.
class LockHolder {
 public:
  explicit LockHolder(const fs::path& store) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(release[1]);
      StoreWriterLock lock(store);
      [[maybe_unused]] auto signalled = ::write(ready[1], "x", 1);
      char byte;
      [[maybe_unused]] auto got = ::read(release[0], &byte, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char byte;
    if (::read(ready[0], &byte, 1) != 1) throw std::runtime_error("the child did not take the lock");
    ::close(ready[0]);
  }
  ~LockHolder() {
    ::close(release_);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

TEST(StoreWriterLockTest, WritersAreRefusedWhileAnotherProcessHoldsTheStore) {
  TempDir dir;
  const fs::path store_dir = dir / "store";
  BinaryPreparedDataStore store(store_dir, std::vector<std::string>{C1, X});
  const Payload a = sample_payload(12, 9, 1, {C1});
  store.write(a);
  const auto before = snapshot_dir(store_dir);

  LockHolder holder(store_dir);
  const std::string message = "the store " + store_dir.string() + " is being changed by another writer (pid " +
                              std::to_string(holder.pid()) + "); wait for it to finish";
  testing::expect_error<StoreLockedError>([&] { store.write(sample_payload(10, 8, 2, {C1})); }, message);
  OrderedMap<WideMatrix> masks;
  masks.set(X, testing::mask_matrix(a.data.matrix("close_price").row_labels(),
                                    a.data.matrix("close_price").column_labels(), 5));
  testing::expect_error<StoreLockedError>([&] { store.add_component_matrices(masks, std::vector<std::string>{X}); },
                                          message);
  EXPECT_EQ(snapshot_dir(store_dir), before);
  testing::expect_same_payload(a, *store.load());
}

TEST(StoreWriterLockTest, ACallerHoldingTheLockCanStillWrite) {
  TempDir dir;
  const fs::path store_dir = dir / "store";
  BinaryPreparedDataStore store(store_dir, std::vector<std::string>{C1, X});
  const Payload a = sample_payload(12, 9, 1, {C1});
  {
    StoreWriterLock lock(store_dir, LockWait::yes);
    store.write(a);
    OrderedMap<WideMatrix> masks;
    masks.set(X, testing::mask_matrix(a.data.matrix("close_price").row_labels(),
                                      a.data.matrix("close_price").column_labels(), 5));
    EXPECT_EQ(store.add_component_matrices(masks, std::vector<std::string>{X}), std::vector<std::string>{X});
  }
  EXPECT_EQ(store.load()->data.keys().size(), a.data.keys().size() + 1);
  EXPECT_FALSE(fs::exists(store_lock_path(store_dir)));
  for (const auto& entry : fs::directory_iterator(store_dir)) {
    EXPECT_FALSE(entry.path().filename().string().ends_with(".lock")) << "a lock file inside the store";
  }
}

}  // namespace
}  // namespace velmora::backtest
