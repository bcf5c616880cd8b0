// The store workflows on real stores and real SQLite factor databases: a build into a store with its
// guards (an empty build, the supplemented components kept, dropped or lost), a supplement, and the
// writer lock and the paths they create.

#include "velmora/backtest/store_build.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/dir_snapshot.h"
#include "support/expect_error.h"
#include "support/lock_holder.h"
#include "support/sqlite_fixture.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/store_supplement.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/sample_database.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::snapshot_dir;
using testing::TempDir;

constexpr const char* START = "20230102";
constexpr const char* END = "20230203";
// A membership factor that no build reads: a store has it only when it was supplemented.
constexpr const char* EXTRA = "custom_member";

std::vector<std::string> listed_components(const fs::path& store) {
  const Value metadata = BinaryPreparedDataStore(store).load_metadata();
  std::vector<std::string> names;
  for (const Value& name : metadata["meta"]["component_names"]) names.push_back(name.get<std::string>());
  return names;
}

// The mask of EXTRA as the store holds it.
WideMatrix extra_mask(const fs::path& store) {
  return BinaryPreparedDataStore(store, std::vector<std::string>{EXTRA})
      .load()
      ->data.matrix(component_dataset_key(EXTRA));
}

bool lists(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Three factor databases, written once: the sample with EXTRA (a copy of one index's membership), the same
// without EXTRA, and the same without any Close row.
class StoreWorkflowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dbs_ = new TempDir;
    SampleOptions options;
    options.instruments = 24;
    options.days = 30;
    options.start = START;
    write_sample_database(*dbs_ / "full.db", options);
    testing::execute_sql(*dbs_ / "full.db",
                         "INSERT INTO factor_values SELECT '" + std::string(EXTRA) +
                             "', order_book_id, date, value FROM factor_values WHERE factor = '" +
                             COMPONENT_FACTOR_NAMES[0] + "'");
    fs::copy_file(*dbs_ / "full.db", *dbs_ / "no_extra.db");
    testing::execute_sql(*dbs_ / "no_extra.db", "DELETE FROM factor_values WHERE factor = '" + std::string(EXTRA) + "'");
    fs::copy_file(*dbs_ / "full.db", *dbs_ / "no_close.db");
    testing::execute_sql(*dbs_ / "no_close.db", "DELETE FROM factor_values WHERE factor = 'Close'");
  }
  static void TearDownTestSuite() {
    delete dbs_;
    dbs_ = nullptr;
  }

  static StoreBuild build(const fs::path& store, const std::string& db, StoreBuildOptions options = {}) {
    ScopedFactorService installed(std::make_shared<SqliteFactorService>(*dbs_ / db));
    options.start_date = START;
    options.end_date = END;
    return build_into_store(store, options);
  }

  // A store built from the full database with EXTRA supplemented into it.
  fs::path supplemented_store() {
    const fs::path store = dir_ / "store";
    build(store, "full.db");
    ScopedFactorService installed(std::make_shared<SqliteFactorService>(*dbs_ / "full.db"));
    const StoreSupplement added = supplement_store(store, {EXTRA});
    EXPECT_EQ(added.added, std::vector<std::string>{EXTRA});
    return store;
  }

  static inline TempDir* dbs_ = nullptr;
  TempDir dir_;
};

TEST_F(StoreWorkflowTest, AnEmptyBuildIsRefusedOverAStoreThatHoldsDataUnlessAllowed) {
  const fs::path store = dir_ / "store";
  build(store, "full.db");
  const auto before = snapshot_dir(store);
  expect_error<VelmoraError>(
      [&] { build(store, "no_close.db"); },
      "the build of 20230102 to 20230203 holds no date (the database has no Close rows in that range); writing it "
      "would empty the store " + store.string() + ": nothing was written (--allow-empty writes it anyway)");
  EXPECT_EQ(snapshot_dir(store), before);

  StoreBuildOptions allowed;
  allowed.allow_empty = true;
  EXPECT_EQ(build(store, "no_close.db", allowed).dates, 0u);
  EXPECT_EQ(BinaryPreparedDataStore(store).load()->data.matrix("close_price").rows(), 0u);
  // A store that holds nothing may be written empty without asking.
  EXPECT_EQ(build(dir_ / "new", "no_close.db").dates, 0u);
}

TEST_F(StoreWorkflowTest, ARebuildKeepsTheSupplementedMasksBuiltAgain) {
  const fs::path store = supplemented_store();
  const WideMatrix supplemented = extra_mask(store);
  for (bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "batch" : "full");
    StoreBuildOptions options;
    options.batch = batch;
    const StoreBuild built = build(store, "full.db", options);
    EXPECT_EQ(built.kept, std::vector<std::string>{EXTRA});
    EXPECT_TRUE(lists(built.components, EXTRA));
    EXPECT_TRUE(lists(listed_components(store), EXTRA));
    EXPECT_TRUE(identical(extra_mask(store), supplemented));
  }
}

TEST_F(StoreWorkflowTest, ARebuildThatWouldLoseAMaskFailsNamingItUnlessItIsDropped) {
  const fs::path store = supplemented_store();
  const auto before = snapshot_dir(store);
  expect_error<ValueError>([&] { build(store, "no_extra.db"); },
                           std::string("a rebuild would lose component masks the store holds: ") + EXTRA);
  EXPECT_EQ(snapshot_dir(store), before);

  StoreBuildOptions options;
  options.drop_components = {EXTRA};
  const StoreBuild built = build(store, "no_extra.db", options);
  EXPECT_EQ(built.dropped, std::vector<std::string>{EXTRA});
  EXPECT_TRUE(built.kept.empty());
  EXPECT_FALSE(lists(listed_components(store), EXTRA));
  EXPECT_FALSE(BinaryPreparedDataStore(store).load_metadata()["datasets"].contains(component_dataset_key(EXTRA)));
  // The built-in components stay.
  EXPECT_EQ(listed_components(store), get_component_factor_names());
}

TEST_F(StoreWorkflowTest, DroppingAComponentTheStoreDoesNotHoldAsSupplementedIsRefused) {
  const fs::path store = supplemented_store();
  const auto before = snapshot_dir(store);
  struct Case {
    std::vector<std::string> drop;
    std::string refused;
  };
  const Case cases[] = {
      {{"no_such_component"}, "no_such_component"},
      {{COMPONENT_FACTOR_NAMES[0]}, COMPONENT_FACTOR_NAMES[0]},  // built by every build: not supplemented
      {{EXTRA, "typo", "typo"}, "typo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refused);
    StoreBuildOptions options;
    options.drop_components = c.drop;
    expect_error<ValueError>([&] { build(store, "full.db", options); },
                             "cannot drop " + c.refused + ": the store " + store.string() +
                                 " holds no such supplemented component (it holds: " + EXTRA + ")");
    EXPECT_EQ(snapshot_dir(store), before);
  }
}

TEST_F(StoreWorkflowTest, ASupplementAddsWhatTheStoreLacksOverItsRange) {
  const fs::path store = dir_ / "store";
  build(store, "full.db");
  ScopedFactorService installed(std::make_shared<SqliteFactorService>(*dbs_ / "full.db"));
  const StoreSupplement first = supplement_store(store, {EXTRA, COMPONENT_FACTOR_NAMES[1]});
  EXPECT_EQ(first.added, std::vector<std::string>{EXTRA});
  EXPECT_EQ(first.already_present, std::vector<std::string>{COMPONENT_FACTOR_NAMES[1]});
  EXPECT_EQ(extra_mask(store).rows(), BinaryPreparedDataStore(store).load()->data.matrix("close_price").rows());
  const StoreSupplement again = supplement_store(store, {EXTRA});
  EXPECT_TRUE(again.added.empty());
  EXPECT_EQ(again.already_present, std::vector<std::string>{EXTRA});
}

// A failed workflow leaves no directory or lock file it created; one that never got the lock removes
// nothing, since those paths may be the holder's.
TEST_F(StoreWorkflowTest, AFailedWorkflowRemovesWhatItCreated) {
  const fs::path store = dir_ / "new" / "deeper" / "store";
  StoreBuildOptions options;
  options.drop_components = {"no_such_component"};
  EXPECT_THROW(build(store, "full.db", options), ValueError);
  EXPECT_FALSE(fs::exists(dir_ / "new"));

  ScopedFactorService installed(std::make_shared<SqliteFactorService>(*dbs_ / "full.db"));
  expect_error<VelmoraError>([&] { supplement_store(store, {EXTRA}); },
                             "no prepared-data store with a date range at " + store.string());
  EXPECT_FALSE(fs::exists(dir_ / "new"));
}

TEST_F(StoreWorkflowTest, AnotherWriterIsNamedOrWaitedFor) {
  const fs::path store = dir_ / "store";
  build(store, "full.db");
  const auto before = snapshot_dir(store);
  testing::HoldingChild holder(store, dir_ / "released");
  for (const auto& run : std::vector<std::function<void()>>{
           [&] { build(store, "full.db"); },
           [&] {
             ScopedFactorService installed(std::make_shared<SqliteFactorService>(*dbs_ / "full.db"));
             supplement_store(store, {EXTRA});
           }}) {
    try {
      run();
      ADD_FAILURE() << "the store was written while another process held it";
    } catch (const StoreLockedError& error) {
      EXPECT_EQ(error.pid(), holder.pid());
    }
  }
  EXPECT_EQ(snapshot_dir(store), before);
  EXPECT_TRUE(fs::exists(store_lock_path(store)));  // the holder's, left alone

  // Waiting: told the holder's pid before the wait, which ends when the holder lets go.
  StoreBuildOptions options;
  options.lock.wait = LockWait::yes;
  pid_t told = 0;
  options.lock.waiting = [&](pid_t pid) {
    told = pid;
    holder.release();
  };
  EXPECT_EQ(build(store, "full.db", options).dates, BinaryPreparedDataStore(store).load()->data.matrix("close_price").rows());
  EXPECT_EQ(told, holder.pid());
  EXPECT_TRUE(fs::exists(dir_ / "released"));
}

}  // namespace
}  // namespace velmora::backtest
