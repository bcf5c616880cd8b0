// Updates read from a real SQLite factor database (the sample market: listings, delistings, suspensions,
// limit prices, sparse dividends and splits, index membership and benchmark closes), and an update killed
// at any moment leaves the old or the new store.

#include <chrono>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "update_fixture.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/store_update.h"
#include "velmora/sample_database.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::store_differences;
using testing::TempDir;

class SqliteUpdateTest : public ::testing::Test {
 protected:
  SqliteUpdateTest() {
    SampleOptions options;
    options.instruments = 120;
    options.days = 90;
    summary_ = write_sample_database(db_, options);
    installed_.emplace(std::make_shared<SqliteFactorService>(db_));
  }

  // The n-th weekday from the sample's first date (the sample's trading days).
  std::string trading_day(std::size_t n) const {
    std::int64_t day = days_from_yyyymmdd(summary_.first_date);
    for (std::size_t seen = 0;; ++day) {
      if (day % 7 == 2 || day % 7 == 3) continue;
      if (seen++ == n) return yyyymmdd_from_days(day);
    }
  }

  void build_into(const fs::path& dir, const std::string& end) const {
    BinaryPreparedDataStore(dir).write(GroupPreparedDataBuilder(summary_.first_date, end).build_incremental());
  }

  TempDir dir_;
  fs::path db_ = dir_ / "factors.db";
  SampleSummary summary_;
  std::optional<ScopedFactorService> installed_;  // once the database exists
};

TEST_F(SqliteUpdateTest, UpdatesEqualIncrementalBuilds) {
  const fs::path store = dir_ / "store";
  build_into(store, trading_day(59));
  for (std::size_t last : {60, 65, 89}) {
    SCOPED_TRACE(last);
    StoreUpdate result = update_store(BinaryPreparedDataStore(store), {trading_day(last), std::nullopt, nullptr, {}});
    EXPECT_EQ(result.outcome, StoreUpdate::Outcome::extended);
    EXPECT_EQ(result.added_dates.back(), trading_day(last));
    TempDir fresh;
    build_into(fresh.path(), trading_day(last));
    EXPECT_EQ(store_differences(store, fresh.path()), std::vector<std::string>{});
  }
}

// A child process updates a copy of the old store and is killed after delays spread over the update; the
// store it leaves is the old or the new one and loads, and a later update completes it.
TEST_F(SqliteUpdateTest, AKilledUpdateLeavesTheOldOrTheNewStore) {
  const fs::path old_store = dir_ / "old", new_store = dir_ / "new", store = dir_ / "store";
  build_into(old_store, trading_day(70));
  build_into(new_store, trading_day(89));
  const StoreUpdateOptions options{trading_day(89), std::nullopt, nullptr, {}};

  auto fresh_copy = [&] {
    fs::remove_all(store);
    fs::copy(old_store, store);
  };
  fresh_copy();
  auto started = std::chrono::steady_clock::now();
  update_store(BinaryPreparedDataStore(store), options);
  auto update_time = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(store_differences(store, new_store).empty());

  constexpr int KILLS = 12;
  int old_seen = 0, new_seen = 0;
  for (int i = 0; i < KILLS; ++i) {
    fresh_copy();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        // A connection of its own: SQLite connections do not cross a fork.
        ScopedFactorService own(std::make_shared<SqliteFactorService>(db_));
        update_store(BinaryPreparedDataStore(store), options);
      } catch (...) {
        _exit(3);
      }
      _exit(0);
    }
    // Delays from zero to twice the update's own time (a child also starts up); the last child finishes.
    std::this_thread::sleep_for(update_time * 2 * i / (KILLS - 1));
    if (i + 1 < KILLS) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    BinaryPreparedDataStore left(store);
    ASSERT_TRUE(left.load().has_value()) << "kill " << i;
    bool is_old = store_differences(store, old_store).empty();
    bool is_new = store_differences(store, new_store).empty();
    EXPECT_TRUE(is_old || is_new) << "kill " << i;
    old_seen += is_old;
    new_seen += is_new;
    // Every file the metadata names is there and sound (the manifest may still describe the old store
    // when the kill fell between the metadata and the manifest).
    EXPECT_NO_THROW(left.load(std::nullopt, std::nullopt, std::nullopt, /*mmap=*/false)) << "kill " << i;
    // The next update from what was left completes the job.
    update_store(BinaryPreparedDataStore(store), options);
    EXPECT_EQ(store_differences(store, new_store), std::vector<std::string>{}) << "kill " << i;
  }
  EXPECT_GT(old_seen, 0);
  EXPECT_GT(new_seen, 0);
}

}  // namespace
}  // namespace velmora::backtest
