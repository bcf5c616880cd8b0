// An update equals, file for file, what an incremental build over the store's start to the new end writes
// into a fresh store.

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "update_fixture.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/store_update.h"
#include "velmora/errors.h"
#include "velmora/in_memory_factor_service.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::MarketOptions;
using testing::store_differences;
using testing::TempDir;
using Outcome = StoreUpdate::Outcome;

constexpr const char* START = "20240102";

class StoreUpdateTest : public ::testing::Test {
 protected:
  void serve(const MarketOptions& options = {}) {
    service_->set_factor_rows(testing::market_factor_rows(options));
    service_->set_index_rows(testing::market_index_rows(options));
  }

  // An incremental build of [START, end] written into `dir`.
  static void build_into(const fs::path& dir, const std::string& end) {
    BinaryPreparedDataStore(dir).write(GroupPreparedDataBuilder(START, end).build_incremental());
  }

  StoreUpdate update(const std::string& end, std::optional<std::string> from = std::nullopt) {
    return update_store(BinaryPreparedDataStore(store_dir_), {end, std::move(from), nullptr});
  }

  // The store equals a fresh incremental build over [START, end].
  void expect_equals_rebuild(const std::string& end) {
    TempDir fresh;
    build_into(fresh.path(), end);
    EXPECT_EQ(store_differences(store_dir_, fresh.path()), std::vector<std::string>{});
  }

  std::shared_ptr<InMemoryFactorService> service_ = std::make_shared<InMemoryFactorService>();
  ScopedFactorService installed_{service_};
  TempDir dir_;
  fs::path store_dir_ = dir_ / "store";
};

// One day, several days, across the first day of newly listed instruments (and the first prices of one
// that was only suspended, and the first buy price of one that only had a sell price), across a dividend
// dated on a Saturday after the old end's last close, and from a Saturday end.
TEST_F(StoreUpdateTest, EqualsAnIncrementalBuildOverTheWholeRange) {
  struct Case {
    const char* old_end;
    const char* new_end;
    std::vector<std::string> added_dates;
  };
  const Case cases[] = {
      {"20240201", "20240202", {"20240202"}},
      {"20240126", "20240202", {"20240129", "20240130", "20240131", "20240201", "20240202"}},
      {"20240202", "20240208", {"20240205", "20240206", "20240207", "20240208"}},
      {"20240113", "20240116", {"20240115", "20240116"}},
      {"20240209", "20240229", {}},
  };
  serve();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.old_end) + " -> " + c.new_end);
    fs::remove_all(store_dir_);
    build_into(store_dir_, c.old_end);
    StoreUpdate result = update(c.new_end);
    EXPECT_EQ(result.outcome, Outcome::extended);
    EXPECT_EQ(result.end_date, c.new_end);
    if (!c.added_dates.empty()) {
      EXPECT_EQ(result.added_dates, c.added_dates);
    }
    expect_equals_rebuild(c.new_end);
  }
}

TEST_F(StoreUpdateTest, ReportsNewInstrumentsAndReadsOnlyTheNewDatesAndTheLastQuote) {
  serve();
  build_into(store_dir_, "20240202");
  service_->clear_calls();
  StoreUpdate result = update("20240208");
  // 002222 (sell prices) and 688001 (suspension flags) were held before, in some dataset.
  EXPECT_EQ(result.added_instruments, std::vector<std::string>{"300999"});
  EXPECT_EQ(result.reread_from, "20240203");
  for (const auto& call : service_->calls()) {
    if (call.operation == FactorServiceCall::Operation::get_factors) {
      EXPECT_EQ(call.start_date, "2024-02-03");
    } else {
      // The benchmarks from the latest quote before the re-read date that every index has.
      EXPECT_LE(*call.start_date, "20240202");
      EXPECT_GE(*call.start_date, "20240126");
    }
    EXPECT_EQ(call.end_date.value_or("").substr(0, 4), "2024");
  }
}

TEST_F(StoreUpdateTest, ChainedUpdatesEqualOneBuild) {
  serve();
  build_into(store_dir_, "20240119");
  for (const char* end : {"20240124", "20240125", "20240206", "20240229"}) {
    SCOPED_TRACE(end);
    update(end);
    expect_equals_rebuild(end);
  }
}

TEST_F(StoreUpdateTest, BenchmarksGivenAsReturnsAreJoinedToo) {
  MarketOptions options;
  options.close_only_benchmarks = false;
  serve(options);
  build_into(store_dir_, "20240205");
  update("20240220");
  expect_equals_rebuild("20240220");
}

// A corrected history: closes from 20240129 on change and a dividend appears; an update from that date
// equals a rebuild over the corrected source, and one without --from does not re-read it.
TEST_F(StoreUpdateTest, FromDateTakesInCorrectedHistory) {
  serve();
  build_into(store_dir_, "20240202");
  MarketOptions corrected;
  corrected.close_shift = 0.5;
  corrected.shift_from = "20240129";
  serve(corrected);
  StoreUpdate result = update("20240207", "20240129");
  EXPECT_EQ(result.reread_from, "20240129");
  expect_equals_rebuild("20240207");

  // A correction of the last stored dates alone, without new dates.
  serve();
  fs::remove_all(store_dir_);
  build_into(store_dir_, "20240207");
  corrected.shift_from = "20240206";
  corrected.close_shift = -0.25;
  serve(corrected);
  EXPECT_EQ(update("20240207", "20240206").outcome, Outcome::extended);
  expect_equals_rebuild("20240207");

  // An instrument that only ever traded inside the re-read range is struck out: its columns go from every
  // matrix, the membership masks included (which cannot tell it from a non-member, so they are read again).
  serve();
  fs::remove_all(store_dir_);
  build_into(store_dir_, "20240202");
  MarketOptions struck;
  struck.with_short_lived = false;
  serve(struck);
  update("20240207", "20240129");
  EXPECT_FALSE(BinaryPreparedDataStore(store_dir_).load()->data.matrix("close_price").column_labels().position("601111"));
  expect_equals_rebuild("20240207");
}

TEST_F(StoreUpdateTest, FromTheStartReadsTheWholeRange) {
  serve();
  build_into(store_dir_, "20240202");
  StoreUpdate result = update("20240206", "20231201");
  EXPECT_EQ(result.outcome, Outcome::rebuilt);
  expect_equals_rebuild("20240206");
}

TEST_F(StoreUpdateTest, AnUpdateThatAddsNothingWritesNothing) {
  serve();
  build_into(store_dir_, "20240202");
  auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(store_dir_)) names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto files = listing();
  const std::string metadata = testing::read_file(store_dir_ / "metadata.pkl");

  EXPECT_EQ(update("20240202").outcome, Outcome::unchanged);        // the store's own end
  EXPECT_EQ(update("20240204").outcome, Outcome::unchanged);        // a weekend: no rows
  StoreUpdate same = update("20240202", "20240129");                // re-read, nothing corrected
  EXPECT_EQ(same.outcome, Outcome::unchanged);
  EXPECT_EQ(same.end_date, "20240202");
  EXPECT_EQ(listing(), files);
  EXPECT_EQ(testing::read_file(store_dir_ / "metadata.pkl"), metadata);
}

TEST_F(StoreUpdateTest, AStoreWithoutUpdateBasisIsRebuiltAndSaysSo) {
  serve();
  Payload old = GroupPreparedDataBuilder(START, "20240202").build();
  old.update_basis = {};  // as an older version wrote it
  BinaryPreparedDataStore(store_dir_).write(old);
  std::vector<std::string> said;
  StoreUpdate result = update_store(BinaryPreparedDataStore(store_dir_),
                                    {"20240207", std::nullopt, [&](const std::string& text) { said.push_back(text); }});
  EXPECT_EQ(result.outcome, Outcome::rebuilt);
  ASSERT_FALSE(said.empty());
  EXPECT_EQ(said.front(),
            "store has no update basis (written by an older version, or downloaded): rebuilding 20240102 to 20240207 "
            "in full");
  expect_equals_rebuild("20240207");
}

TEST_F(StoreUpdateTest, RefusesWhatItCannotDoWithoutTouchingTheStore) {
  serve();
  build_into(store_dir_, "20240202");
  const std::string metadata = testing::read_file(store_dir_ / "metadata.pkl");
  struct Case {
    StoreUpdateOptions options;
    std::string message;
  };
  const Case cases[] = {
      {{"20240201", std::nullopt, nullptr}, "update end date 20240201 is before the store's end date 20240202"},
      {{"2024-02-07", std::string("20240208"), nullptr}, "update start date 20240208 is after the end date 20240207"},
  };
  for (const auto& c : cases) {
    try {
      update_store(BinaryPreparedDataStore(store_dir_), c.options);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const ValueError& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
  EXPECT_THROW(update_store(BinaryPreparedDataStore(store_dir_), {"2024-13-01", std::nullopt, nullptr}), ValueError);
  EXPECT_THROW(update_store(BinaryPreparedDataStore(dir_ / "empty"), {"20240207", std::nullopt, nullptr}),
               ValueError);

  // A supplemented membership dataset that no build makes.
  OrderedMap<WideMatrix> extra;
  extra.set("my_index", BinaryPreparedDataStore(store_dir_).load()->data.matrix("close_price") * 0.0 + 1.0);
  BinaryPreparedDataStore(store_dir_, std::vector<std::string>{"my_index"})
      .add_component_matrices(extra, std::vector<std::string>{"my_index"});
  const std::string supplemented = testing::read_file(store_dir_ / "metadata.pkl");
  EXPECT_THROW(update("20240207"), ValueError);
  EXPECT_EQ(testing::read_file(store_dir_ / "metadata.pkl"), supplemented);
  EXPECT_NE(supplemented, metadata);

}

}  // namespace
}  // namespace velmora::backtest
