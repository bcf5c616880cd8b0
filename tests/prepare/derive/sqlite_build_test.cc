#include <cmath>

#include <gtest/gtest.h>

#include "support/matrix_builders.h"
#include "support/sqlite_fixture.h"
#include "support/temp_dir.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/sample_database.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::backtest {
namespace {

using testing::FactorRow;

// Three instruments over three weeks of a real SQLite factor database, built end to end.
class SqliteBuildTest : public ::testing::Test {
 protected:
  SqliteBuildTest() {
    std::vector<FactorRow> rows;
    const std::vector<std::string> ids = {"000001.XSHE", "600000.XSHG", "300750.XSHE"};
    for (int d = 0; d < 15; ++d) {
      std::string date = "2024-01-" + std::string(d + 2 < 10 ? "0" : "") + std::to_string(d + 2);
      for (std::size_t i = 0; i < ids.size(); ++i) {
        double close = 10.0 * static_cast<double>(i + 1) + d;
        auto add = [&](const std::string& factor, double value) { rows.push_back({factor, ids[i], date, value}); };
        if (i == 2 && d == 5) {
          add("rq_is_suspended", 1.0);  // suspended: no prices that day
        } else {
          add("Close", close);
          add("Open", close - 0.5);
          add("limit_up", close + 1.0);
          add("limit_down", close - 1.0);
          add("tick_vwap_price_935_1005", d == 3 ? close + 1.0 : close);  // at the limit-up on day 3
          add("tick_vwap_price_925_1000", close);
        }
        add("rq_industry_exposure_new", static_cast<double>(i + 1));
        for (const auto& component : COMPONENT_FACTOR_NAMES) add(component, i == 0 ? 1.0 : 0.0);
      }
    }
    rows.push_back({"rq_get_dividend", std::string("600000.XSHG"), std::string("2024-01-10"), std::string("2.5")});
    testing::IndexDailyRows index;
    index.columns = {"order_book_id", "date", "close"};  // returns are computed from the closes
    for (const auto& [name, code] : BENCHMARK_INDEX_CODES)
      for (int d = 0; d < 3; ++d)
        index.rows.push_back({code, "2024-01-0" + std::to_string(d + 2), 100.0 + d});
    testing::write_factor_database(dir_ / "factors.db", rows, index);
  }

  testing::TempDir dir_;
};

TEST_F(SqliteBuildTest, FullAndIncrementalBuildsGiveTheSameMatrices) {
  ScopedFactorService installed(std::make_shared<SqliteFactorService>(dir_ / "factors.db"));
  GroupPreparedDataBuilder builder("2024-01-01", "2024-01-31");
  Payload full = builder.build();
  Payload incremental = builder.build_incremental();
  ASSERT_EQ(full.data.keys(), incremental.data.keys());
  for (const auto& key : full.data.keys()) {
    if (key == "benchmark_dict") continue;
    EXPECT_TRUE(identical(full.data.matrix(key), incremental.data.matrix(key))) << key;
  }

  const WideMatrix& close = full.data.matrix("close_price");
  EXPECT_EQ(close.rows(), 15u);
  EXPECT_EQ(close.column_labels().names(), (std::vector<std::string>{"000001", "300750", "600000"}));
  EXPECT_TRUE(std::isnan(close.value(5, 1)));
  EXPECT_EQ(full.data.matrix("prev_close").value(1, 0), close.value(0, 0));
  EXPECT_EQ(full.data.matrix("rq_get_dividend").value(8, 2), 2.5 / 10.0 * 0.9);
  // Day 3: the buy price sits at the limit-up, so buying is refused (as is every tradable cell by the flags).
  EXPECT_EQ(full.data.matrix("can_buy_stock").value(3, 0), 0.0);
  // The suspended cell: no equal prices and a suspension flag, so the sum is zero.
  EXPECT_EQ(full.data.matrix("cant_sell_stock").value(5, 1), 0.0);
  EXPECT_EQ(full.data.matrix("can_buy_stock").value(5, 1), 1.0);

  const WideMatrix& mask = full.data.matrix(component_dataset_key(COMPONENT_FACTOR_NAMES[0]));
  EXPECT_CELLS(mask.slice_rows(0, 1), ({{1.0, NaN, NaN}}));
  const DateSeries& benchmark = full.data.benchmark_dict()->at("000300");
  EXPECT_EQ(benchmark.dates().names(), (std::vector<std::string>{"20240103", "20240104"}));
  EXPECT_DOUBLE_EQ(benchmark.values()[0], 101.0 / 100.0 - 1.0);
}


// A range of one day (start equal to end) builds that day alone, in both ways: its raw cells as the longer
// build has them, nothing taken from the days around it, and empty benchmark series (a return needs the
// close of the day before).
TEST_F(SqliteBuildTest, OneDayRangeBuildsThatDayAlone) {
  ScopedFactorService installed(std::make_shared<SqliteFactorService>(dir_ / "factors.db"));
  const WideMatrix whole_close = GroupPreparedDataBuilder("2024-01-01", "2024-01-31").build().data.matrix("close_price");
  GroupPreparedDataBuilder builder("2024-01-04", "20240104");
  for (bool incremental : {false, true}) {
    SCOPED_TRACE(incremental ? "incremental" : "full");
    Payload day = incremental ? builder.build_incremental() : builder.build();
    for (const auto& key : day.data.keys()) {
      if (key == "benchmark_dict") continue;
      EXPECT_EQ(day.data.matrix(key).row_labels().names(), std::vector<std::string>{"20240104"}) << key;
    }
    EXPECT_TRUE(identical(day.data.matrix("close_price"), whole_close.slice_rows(2, 3)));
    const WideMatrix& prev_close = day.data.matrix("prev_close");
    for (std::size_t c = 0; c < prev_close.cols(); ++c) EXPECT_TRUE(std::isnan(prev_close.value(0, c)));
    const BenchmarkDict& benchmarks = *day.data.benchmark_dict();
    ASSERT_EQ(benchmarks.keys(), BENCHMARK_INDEX_CODES.keys());
    for (const auto& name : benchmarks.keys()) EXPECT_TRUE(benchmarks.at(name).empty()) << name;
  }
}

// Every matrix of two payloads identical, the benchmark series aside.
void expect_same_payload(const Payload& a, const Payload& b, const std::string& context) {
  ASSERT_EQ(a.data.keys(), b.data.keys()) << context;
  for (const auto& key : a.data.keys()) {
    if (key == "benchmark_dict") continue;
    EXPECT_TRUE(identical(a.data.matrix(key), b.data.matrix(key))) << context << " " << key;
  }
}

TEST(SqliteBuildReadPaths, BuildsReadingByPassesGiveThePayloadsOfIndexReads) {
  testing::TempDir dir;
  SampleOptions options;
  options.instruments = 40;
  options.days = 30;
  options.start = "20240102";
  options.layout = RowLayout::by_date;
  write_sample_database(dir / "factors.db", options);
  // Later duplicates with other values, stored after everything else, and a few gaps.
  testing::execute_sql(dir / "factors.db",
                       "INSERT INTO factor_values SELECT factor, order_book_id, date, value * 1.5 FROM factor_values "
                       "WHERE rowid % 37 = 1; UPDATE factor_values SET value = NULL WHERE rowid % 101 = 7");

  for (std::size_t threads : {1u, 3u}) {
    const std::string at = "threads " + std::to_string(threads);
    Payload index_full, index_incremental, scan_full, scan_incremental;
    {
      ScopedFactorService installed(std::make_shared<SqliteFactorService>(dir / "factors.db", threads, TableScan::never));
      GroupPreparedDataBuilder builder("2024-01-01", "2024-02-29");
      index_full = builder.build();
      index_incremental = builder.build_incremental();
    }
    {
      ScopedFactorService installed(std::make_shared<SqliteFactorService>(dir / "factors.db", threads, TableScan::always));
      GroupPreparedDataBuilder builder("2024-01-01", "2024-02-29");
      scan_full = builder.build();
      scan_incremental = builder.build_incremental();
    }
    ASSERT_EQ(index_full.data.matrix("close_price").rows(), 30u) << at;
    expect_same_payload(scan_full, index_full, at + " build");
    expect_same_payload(scan_incremental, index_incremental, at + " incremental build");
  }
}

}  // namespace
}  // namespace velmora::backtest
