// The source readers against the embedded SQLite service, on a database file built by the test.

#include <gtest/gtest.h>

#include "support/matrix_builders.h"
#include "support/sqlite_fixture.h"
#include "support/temp_dir.h"
#include "velmora/backtest/builder.h"
#include "velmora/errors.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::backtest {
namespace {

using velmora::testing::FactorRow;
using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;
const double nan = NaN;

Cell text(const char* s) { return std::string(s); }

class SqliteReadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<FactorRow> rows = {
        {"Close", text("000001.XSHE"), text("2024-01-02"), 10.0},
        {"Close", text("600000.XSHG"), text("2024-01-02"), text("7.25")},
        {"Close", text("000001.XSHE"), text("2024-01-03"), std::int64_t{11}},
        {"Close", text("000001.XSHE"), text("2023-12-29"), 1.0},  // before the range
        {"Close", text("600000.XSHG"), text("2024-01-03"), text("n/a")},
        {"Close", text("000001.XSHE"), text("2024-01-02"), 12.0},  // later duplicate wins
        {"rq_index_components_new_000300.XSHG", text("000001.XSHE"), text("2024-01-02"), std::int64_t{1}},
        {"rq_index_components_new_000300.XSHG", text("600000.XSHG"), text("2024-01-02"), std::int64_t{0}},
    };
    velmora::testing::IndexDailyRows index;
    index.rows = {Row{text("000300.XSHG"), text("2024-01-02"), 3000.0, Cell()},
                  Row{text("000300.XSHG"), text("2024-01-03"), 3030.0, Cell()},
                  Row{text("000852.XSHG"), text("2024-01-03"), 6000.0, 0.02},
                  Row{text("000905.XSHG"), text("2024-01-05"), 5000.0, 0.01}};
    velmora::testing::write_factor_database(dir_ / "factors.db", rows, index);
    service_ = std::make_shared<SqliteFactorService>(dir_ / "factors.db");
    installed_ = std::make_unique<ScopedFactorService>(service_);
  }

  velmora::testing::TempDir dir_;
  std::shared_ptr<SqliteFactorService> service_;
  std::unique_ptr<ScopedFactorService> installed_;
  GroupPreparedDataBuilder builder_{"20240101", "20240104"};
};

TEST_F(SqliteReadsTest, BatchAndSingleReadsGiveTheSameMatrices) {
  MatrixMap batch = builder_._read_normal_factor_batch(Strings{"Close", "Open"});
  EXPECT_EQ(batch.keys(), (Strings{"Close", "Open"}));
  const WideMatrix& close = batch.at("Close");
  EXPECT_LABELS(close, ({"20240102", "20240103"}), ({"000001", "600000"}));
  EXPECT_CELLS(close, ({{12.0, 7.25}, {11.0, nan}}));
  EXPECT_FALSE(batch.at("Open").has_data());
  EXPECT_TRUE(identical(builder_._read_normal_factor_matrix("Close"), close));
}

TEST_F(SqliteReadsTest, ComponentMasksAndBenchmarksReadTheFile) {
  MatrixMap masks = builder_._component_matrices({"rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG"});
  EXPECT_EQ(masks.keys(), Strings{"rq_index_components_new_000300.XSHG"});
  EXPECT_CELLS(masks.at("rq_index_components_new_000300.XSHG"), ({{1.0, nan}}));

  BenchmarkDict dict = builder_._read_benchmark_dict();
  EXPECT_EQ(dict.keys(), (Strings{"000852", "000300", "000905"}));
  // 000300 has no daily_return values at all, but the column exists, so close is not used.
  EXPECT_TRUE(dict.at("000300").empty());
  ASSERT_EQ(dict.at("000852").size(), 1u);
  EXPECT_EQ(dict.at("000852").dates()[0], "20240103");
  EXPECT_DOUBLE_EQ(dict.at("000852").values()[0], 0.02);
  EXPECT_TRUE(dict.at("000905").empty());  // outside the range
}

TEST_F(SqliteReadsTest, ABatchThatCannotBeReadFallsBackAndTheSingleReadsFailLoudly) {
  velmora::testing::execute_sql(dir_ / "factors.db", "DROP TABLE factor_values");
  try {
    builder_._read_normal_factor_batch(Strings{"Close"});
    ADD_FAILURE() << "the missing table went unnoticed";
  } catch (const VelmoraError& e) {
    EXPECT_EQ(e.what(), "factor database " + (dir_ / "factors.db").string() + ": lacks the table factor_values");
  }
  // Membership reads are left out instead.
  EXPECT_TRUE(builder_._component_matrices({"rq_index_components_new_000300.XSHG"}).empty());
}


// Hands a batch answer over whole, as a service without piecewise answers does.
class WholeAnswers : public FactorService {
 public:
  explicit WholeAnswers(std::shared_ptr<FactorService> inner) : inner_(std::move(inner)) {}
  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start,
                                        const std::optional<std::string>& end) override {
    return inner_->get_factors(factor, start, end);
  }
  std::optional<QueryTable> get_index_daily(const Strings& codes, const std::optional<std::string>& start,
                                            const std::optional<std::string>& end) override {
    return inner_->get_index_daily(codes, start, end);
  }

 private:
  std::shared_ptr<FactorService> inner_;
};

TEST(SqliteBatchPieces, AFactorColumnComparedWithoutCaseGivesTheMatricesOfTheWholeAnswer) {
  velmora::testing::TempDir dir;
  // Spellings the collation holds equal, interleaved in the index's order with the requested one.
  velmora::testing::execute_sql(
      dir / "f.db",
      "CREATE TABLE factor_values (factor TEXT COLLATE NOCASE NOT NULL, order_book_id TEXT, date TEXT, value);"
      "CREATE INDEX factor_values_factor_date ON factor_values(factor, date);"
      "INSERT INTO factor_values VALUES ('Close', '000001.XSHE', '2024-01-02', 1.0),"
      " ('CLOSE', '000001.XSHE', '2024-01-02', 2.0), ('Close', '600000.XSHG', '2024-01-03', 3.0),"
      " ('close', '600000.XSHG', '2024-01-04', 4.0), ('Close', '000001.XSHE', '2024-01-04', 5.0),"
      " ('Open', '000001.XSHE', '2024-01-02', 6.0), ('OPEN', '000001.XSHE', '2024-01-03', 7.0)",
      true);
  GroupPreparedDataBuilder builder("20240101", "20240104");
  for (TableScan scan : {TableScan::never, TableScan::always}) {
    auto service = std::make_shared<SqliteFactorService>(dir / "f.db", 2, scan);
    MatrixMap whole, pieces;
    {
      ScopedFactorService installed(std::make_shared<WholeAnswers>(service));
      whole = builder._read_normal_factor_batch(Strings{"Close", "Open"});
    }
    {
      ScopedFactorService installed(service);
      pieces = builder._read_normal_factor_batch(Strings{"Close", "Open"});
    }
    ASSERT_EQ(pieces.keys(), whole.keys());
    for (const auto& name : whole.keys()) EXPECT_TRUE(identical(pieces.at(name), whole.at(name))) << name;
    EXPECT_EQ(pieces.at("Close").rows(), 3u);
  }
}

}  // namespace
}  // namespace velmora::backtest
