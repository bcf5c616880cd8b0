// An update equals, file for file, what an incremental build over the store's start to the new end writes
// into a fresh store.

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "update_fixture.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/rebuild.h"
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
    return update_store(BinaryPreparedDataStore(store_dir_), {end, std::move(from), nullptr, {}});
  }

  // The store equals a fresh incremental build over [START, end] that keeps the components supplemented
  // into the store, and every file agrees with the manifest.
  void expect_equals_rebuild(const std::string& end) {
    TempDir fresh;
    GroupPreparedDataBuilder range(START, end);
    Payload payload = range.build_incremental();
    keep_store_components(range, BinaryPreparedDataStore(store_dir_).load_metadata(), payload);
    BinaryPreparedDataStore(fresh.path()).write(payload);
    EXPECT_EQ(store_differences(store_dir_, fresh.path()), std::vector<std::string>{});
    EXPECT_EQ(BinaryPreparedDataStore(store_dir_).faults(), std::vector<std::string>{});
  }

  void supplement(const std::string& name) {
    const Value meta = BinaryPreparedDataStore(store_dir_).load_metadata()["meta"];
    MatrixMap masks = GroupPreparedDataBuilder(meta["start_date"], meta["end_date"])._component_matrices({name});
    BinaryPreparedDataStore(store_dir_, std::vector<std::string>{name}).add_component_matrices(masks, std::vector<std::string>{name});
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

// A correction that touches nothing but the benchmark quotes, or nothing but one membership mask, is
// written, not taken for "unchanged".
TEST_F(StoreUpdateTest, ACorrectionOfOneKindAloneIsWritten) {
  MarketOptions benchmarks_only;
  benchmarks_only.index_shift = 25.0;
  MarketOptions mask_only;
  mask_only.members_flipped = true;
  for (MarketOptions corrected : {benchmarks_only, mask_only}) {
    serve();
    fs::remove_all(store_dir_);
    build_into(store_dir_, "20240207");
    corrected.shift_from = "20240205";
    serve(corrected);
    EXPECT_EQ(update("20240207", "20240205").outcome, Outcome::extended);
    expect_equals_rebuild("20240207");
  }
}

// A store of one day (too short to bound the rows derived again by two opens) is extended by deriving
// its whole range; one of two days is extended by one.
TEST_F(StoreUpdateTest, OneDayStoresAreExtended) {
  serve();
  for (const char* end : {"20240102", "20240103"}) {
    SCOPED_TRACE(end);
    fs::remove_all(store_dir_);
    build_into(store_dir_, end);
    EXPECT_EQ(update("20240104").outcome, Outcome::extended);
    expect_equals_rebuild("20240104");
  }
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
  StoreUpdateOptions options{"20240207", std::nullopt, [&](const std::string& text) { said.push_back(text); }, {}};
  StoreUpdate result = update_store(BinaryPreparedDataStore(store_dir_), options);
  EXPECT_EQ(result.outcome, Outcome::rebuilt);
  ASSERT_FALSE(said.empty());
  EXPECT_EQ(said.front(),
            "store has no update basis (written by an older version, or downloaded): rebuilding 20240102 to 20240207 "
            "in full");
  expect_equals_rebuild("20240207");
}

// Only the rows that can change are derived again: the close dates from the last stored close on (a
// dividend dated after it joins the store only now) and the two stored opens before the new ones (the
// forward return looks two opens ahead). Every file whose columns stay is its stored rows copied, then the
// new ones; a file that gains an instrument is laid out anew, and so are the derived files whose sources
// gained it.
TEST_F(StoreUpdateTest, DerivesOnlyTheRowsThatCanChange) {
  struct Case {
    const char* old_end;
    const char* new_end;
    const char* recomputed_from;
    std::size_t files_copied;  // of 12 base datasets, 5 masks and 5 basis matrices
  };
  const Case cases[] = {
      {"20240119", "20240124", "20240118", 22},  // no instrument appears
      {"20240122", "20240123", "20240119", 22},  // one day, across a weekend two opens back
      // 002222 gains a sell price: sell_price, cant_sell_stock and the stored ones that share no source
      {"20240124", "20240125", "20240123", 20},
      {"20240202", "20240209", "20240201", 1},   // new instruments everywhere but in the splits
  };
  serve();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.old_end) + " -> " + c.new_end);
    fs::remove_all(store_dir_);
    build_into(store_dir_, c.old_end);
    StoreUpdate result = update(c.new_end);
    EXPECT_EQ(result.outcome, Outcome::extended);
    EXPECT_EQ(result.recomputed_from, c.recomputed_from);
    EXPECT_EQ(result.files_copied, c.files_copied);
    expect_equals_rebuild(c.new_end);
  }
}

// A supplemented component is read for the new dates like the built-in ones, and the store equals a
// rebuild that keeps it; a component that no longer has any row fails as such a rebuild does.
TEST_F(StoreUpdateTest, SupplementedComponentsAreUpdatedToo) {
  serve();
  build_into(store_dir_, "20240126");
  supplement(testing::SUPPLEMENTED_COMPONENT);
  for (const char* end : {"20240131", "20240209"}) {
    SCOPED_TRACE(end);
    EXPECT_EQ(update(end).outcome, Outcome::extended);
    expect_equals_rebuild(end);
  }
  EXPECT_EQ(BinaryPreparedDataStore(store_dir_).load_metadata()["meta"]["component_names"].back(),
            testing::SUPPLEMENTED_COMPONENT);

  // Corrected history from a date: stored rows are dropped and read again, the supplemented mask's too.
  EXPECT_EQ(update("20240209", "20240205").outcome, Outcome::unchanged);
  MarketOptions corrected;
  corrected.close_shift = 0.5;
  corrected.shift_from = "20240205";
  serve(corrected);
  EXPECT_EQ(update("20240215", "20240205").outcome, Outcome::extended);
  expect_equals_rebuild("20240215");
}

// A stored file that does not match its entry fails the update naming the dataset; the store stays.
TEST_F(StoreUpdateTest, ADamagedStoredFileFailsTheUpdateAndChangesNothing) {
  serve();
  build_into(store_dir_, "20240202");
  const Value metadata = BinaryPreparedDataStore(store_dir_).load_metadata();
  const fs::path open_file = store_dir_ / metadata["datasets"]["open_price"]["file"].get<std::string>();
  fs::resize_file(open_file, fs::file_size(open_file) - 8);
  const std::string before = testing::read_file(store_dir_ / "metadata.pkl");
  try {
    update("20240209");
    ADD_FAILURE() << "no error";
  } catch (const VelmoraError& error) {
    EXPECT_NE(std::string(error.what()).find("open_price"), std::string::npos) << error.what();
  }
  EXPECT_EQ(testing::read_file(store_dir_ / "metadata.pkl"), before);
  EXPECT_FALSE(fs::exists(store_dir_ / ".pending_files"));
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
      {{"20240201", std::nullopt, nullptr, {}}, "update end date 20240201 is before the store's end date 20240202"},
      {{"2024-02-07", std::string("20240208"), nullptr, {}}, "update start date 20240208 is after the end date 20240207"},
  };
  for (const auto& c : cases) {
    try {
      update_store(BinaryPreparedDataStore(store_dir_), c.options);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const ValueError& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
  EXPECT_THROW(update_store(BinaryPreparedDataStore(store_dir_), {"2024-13-01", std::nullopt, nullptr, {}}), ValueError);
  EXPECT_THROW(update_store(BinaryPreparedDataStore(dir_ / "empty"), {"20240207", std::nullopt, nullptr, {}}),
               ValueError);

  // A membership dataset that the metadata does not list as a component.
  Value listed = BinaryPreparedDataStore(store_dir_).load_metadata();
  supplement(testing::SUPPLEMENTED_COMPONENT);
  Value unlisted = BinaryPreparedDataStore(store_dir_).load_metadata();
  unlisted["meta"] = listed["meta"];
  BinaryPreparedDataStore(store_dir_)._write_metadata(unlisted);
  const std::string foreign = testing::read_file(store_dir_ / "metadata.pkl");
  EXPECT_THROW(update("20240207"), ValueError);
  EXPECT_EQ(testing::read_file(store_dir_ / "metadata.pkl"), foreign);
  EXPECT_NE(foreign, metadata);
}

}  // namespace
}  // namespace velmora::backtest
