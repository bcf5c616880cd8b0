#include "velmora/sqlite_factor_service.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/sqlite_fixture.h"
#include "support/table_compare.h"
#include "support/temp_dir.h"
#include "velmora/errors.h"

namespace velmora {
namespace {

using testing::FactorRow;
using testing::IndexDailyRows;
using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;

class SqliteFactorServiceTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::vector<FactorRow>& rows, const IndexDailyRows& index = {}) {
    auto path = dir_ / ("factors" + std::to_string(++files_) + ".db");
    testing::write_factor_database(path, rows, index);
    return path;
  }

  std::string error_of(const std::function<void()>& action) {
    try {
      action();
    } catch (const VelmoraError& e) {
      return e.what();
    }
    return "<no VelmoraError>";
  }

  testing::TempDir dir_;
  int files_ = 0;
};

std::vector<FactorRow> sample_rows() {
  return {
      {"Close", std::string("600000.XSHG"), std::string("2024-01-03"), 7.5},
      {"Close", std::string("000001.XSHE"), std::string("2024-01-02"), std::int64_t{10}},
      {"Open", std::string("000001.XSHE"), std::string("2024-01-02"), std::string("12.5")},
      {"Close", std::string("000001.XSHE"), std::string("2024-01-04"), std::string("n/a")},
      {"Close", std::string("000001.XSHE"), std::string("2024-01-02"), 11.0},  // later duplicate
      {"Close", Cell(), std::string("2024-01-05"), Cell()},
  };
}

TEST_F(SqliteFactorServiceTest, AnswersLongRowsInFactorDateInsertionOrderWithStoredKinds) {
  SqliteFactorService service(write(sample_rows()));
  auto answer = service.get_factors(std::string("Close"), std::nullopt, std::nullopt);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->column_names(), (Strings{"order_book_id", "date", "factor", "value"}));
  ASSERT_EQ(answer->num_rows(), 5u);
  const Column& dates = answer->column("date");
  const Column& values = answer->column("value");
  EXPECT_EQ(dates.cell(0), Cell(std::string("2024-01-02")));
  // Of the two rows for 000001 on 2024-01-02, the one inserted later comes later.
  EXPECT_EQ(values.cell(0), Cell(10.0));  // an INTEGER beside REALs becomes a number
  EXPECT_EQ(values.cell(1), Cell(11.0));
  EXPECT_EQ(values.cell(2), Cell(7.5));
  EXPECT_EQ(values.cell(3), Cell(std::string("n/a")));  // TEXT stays text
  EXPECT_TRUE(values.is_missing(4));
  EXPECT_TRUE(answer->column("order_book_id").is_missing(4));
}

TEST_F(SqliteFactorServiceTest, FiltersByNamesAndInclusiveBoundsInEitherForm) {
  SqliteFactorService service(write(sample_rows()));
  auto answer = service.get_factors(Strings{"Open", "Close"}, "20240102", "2024-01-03");
  ASSERT_TRUE(answer);
  Strings seen;
  for (std::size_t i = 0; i < answer->num_rows(); ++i) {
    seen.push_back(std::get<std::string>(answer->column("factor").cell(i)) + "@" +
                   std::get<std::string>(answer->column("date").cell(i)));
  }
  EXPECT_EQ(seen, (Strings{"Close@2024-01-02", "Close@2024-01-02", "Close@2024-01-03", "Open@2024-01-02"}));
  EXPECT_EQ(answer->column("value").cell(3), Cell(std::string("12.5")));

  EXPECT_FALSE(service.get_factors(std::string("Volume"), std::nullopt, std::nullopt));
  EXPECT_FALSE(service.get_factors(std::string("Close"), "2025-01-01", std::nullopt));
  EXPECT_FALSE(service.get_factors(Strings{}, std::nullopt, std::nullopt));
  try {
    service.get_factors(std::string("Close"), "2024/01/02", std::nullopt);
    ADD_FAILURE() << "accepted a slashed bound";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "date bound is neither YYYY-MM-DD nor YYYYMMDD: 2024/01/02");
  }
}

TEST_F(SqliteFactorServiceTest, AnswersEveryIndexDailyColumnForTheRequestedCodes) {
  IndexDailyRows index;
  index.columns = {"order_book_id", "date", "close", "returns", "change_rate"};
  index.rows = {Row{std::string("000300.XSHG"), std::string("2024-01-02"), 3500.0, 0.01, std::string("x")},
                Row{std::string("000905.XSHG"), std::string("2024-01-02"), 5000.0, Cell(), 0.5},
                Row{std::string("000300.XSHG"), std::string("2024-01-03"), std::int64_t{3600}, -0.02, 0.1},
                Row{std::string("000852.XSHG"), std::string("2024-01-03"), 6000.0, 0.03, 0.2}};
  SqliteFactorService service(write({}, index));
  auto answer = service.get_index_daily({"000300.XSHG", "000905.XSHG"}, "20240101", "20240102");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->column_names(), (Strings{"order_book_id", "date", "close", "returns", "change_rate"}));
  ASSERT_EQ(answer->num_rows(), 2u);
  EXPECT_EQ(answer->column("order_book_id").cell(1), Cell(std::string("000905.XSHG")));
  EXPECT_TRUE(answer->column("returns").is_missing(1));
  EXPECT_EQ(answer->column("change_rate").type(), ColumnType::variant);

  answer = service.get_index_daily({"000300.XSHG"}, std::nullopt, std::nullopt);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->column("close").cell(1), Cell(3600.0));
  EXPECT_FALSE(service.get_index_daily({"399303.XSHE"}, std::nullopt, std::nullopt));
}

TEST_F(SqliteFactorServiceTest, RefusesFilesThatAreNotFactorDatabasesWithoutCreatingThem) {
  auto missing = dir_ / "absent.db";
  EXPECT_EQ(error_of([&] { SqliteFactorService service(missing); }),
            "factor database " + missing.string() + ": no such file");
  EXPECT_FALSE(std::filesystem::exists(missing));

  auto text_file = dir_ / "notes.db";
  testing::write_file(text_file, std::string(4096, 'x'));
  EXPECT_EQ(error_of([&] { SqliteFactorService service(text_file); }),
            "factor database " + text_file.string() + ": not a SQLite database");

  EXPECT_EQ(error_of([&] { SqliteFactorService service(dir_.path()); }),
            "factor database " + dir_.path().string() + ": is a directory, not a database file");

  auto without_index = write(sample_rows());
  testing::execute_sql(without_index, "DROP TABLE index_daily");
  SqliteFactorService service(without_index);
  EXPECT_TRUE(service.get_factors(std::string("Close"), std::nullopt, std::nullopt));
  EXPECT_EQ(error_of([&] { service.get_index_daily({"000300.XSHG"}, std::nullopt, std::nullopt); }),
            "factor database " + without_index.string() + ": lacks the table index_daily");

  auto without_factors = write({});
  testing::execute_sql(without_factors, "DROP TABLE factor_values");
  SqliteFactorService bare(without_factors);
  EXPECT_EQ(error_of([&] { bare.get_factors(std::string("Close"), std::nullopt, std::nullopt); }),
            "factor database " + without_factors.string() + ": lacks the table factor_values");
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

using testing::expect_same_table;

TEST(SqliteFactorServiceParallelRead, DateRangesOnParallelConnectionsGiveTheSingleConnectionAnswer) {
  testing::TempDir dir;
  std::vector<FactorRow> rows;
  // Ninety days of two factors: "Open" holds numbers and NULLs (its date ranges join into one column),
  // "Close" mixes stored kinds and has an oddly written date (its ranges cannot join: it is read in one
  // piece). Duplicate pairs, and range bounds that cut the first and last days.
  for (int d = 0; d < 90; ++d) {
    char date[16];
    std::snprintf(date, sizeof date, "2024-%02d-%02d", 1 + d / 28, 1 + d % 28);
    for (int i = 0; i < 5; ++i) {
      std::string id = "00000" + std::to_string(i) + ".XSHE";
      Cell value = (i == 1) ? Cell(std::int64_t{d}) : (i == 2 && d % 7 == 0) ? Cell(std::string("n/a"))
                   : (i == 3 && d % 11 == 0) ? Cell() : Cell(d + i / 10.0);
      rows.push_back({"Close", id, std::string(date), value});
      rows.push_back({"Open", id, std::string(date), (i == 4 && d % 17 == 0) ? Cell() : Cell(1.0 + d)});
    }
    if (d % 13 == 0) rows.push_back({"Close", std::string("000000.XSHE"), std::string(date), -1.0});
  }
  rows.push_back({"Close", std::string("000009.XSHE"), std::string("2024-2-5"), 3.0});
  testing::write_factor_database(dir / "f.db", rows);

  SqliteFactorService single(dir / "f.db", 1);
  for (std::size_t threads : {2u, 3u, 4u}) {
    SqliteFactorService parallel(dir / "f.db", threads);
    for (auto [start, end] : {std::pair{"2024-01-02", "2024-03-27"}, {"20231201", "20250101"}}) {
      for (const char* factor : {"Open", "Close"}) {
        auto expected = single.get_factors(std::string(factor), start, end);
        auto answer = parallel.get_factors(std::string(factor), start, end);
        ASSERT_TRUE(expected && answer);
        expect_same_table(*expected, *answer);
      }
    }
    EXPECT_FALSE(parallel.get_factors(std::string("Close"), "2030-01-01", "2030-12-31").has_value());
  }
}

}  // namespace
}  // namespace velmora
