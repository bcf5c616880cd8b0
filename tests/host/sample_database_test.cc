// The row layouts of a sample database: the same rows either way, stored day by day or factor by factor.

#include "velmora/sample_database.h"

#include <gtest/gtest.h>

#include <set>

#include "support/sqlite_fixture.h"
#include "support/temp_dir.h"

namespace velmora {
namespace {

using Rows = std::vector<std::vector<Cell>>;

std::string text_of(const Cell& cell) { return std::get<std::string>(cell); }

class SampleLayoutTest : public ::testing::Test {
 protected:
  SampleLayoutTest() {
    SampleOptions options;
    options.instruments = 40;
    options.days = 30;
    options.layout = RowLayout::by_date;
    by_date_summary_ = write_sample_database(by_date_, options);
    options.layout = RowLayout::by_factor;
    by_factor_summary_ = write_sample_database(by_factor_, options);
  }

  testing::TempDir dir_;
  std::filesystem::path by_date_ = dir_ / "by_date.db", by_factor_ = dir_ / "by_factor.db";
  SampleSummary by_date_summary_, by_factor_summary_;
};

TEST_F(SampleLayoutTest, BothLayoutsHoldTheSameRowsInTheSameOrderWithinEachFactor) {
  const std::string per_factor = "SELECT factor, order_book_id, date, value FROM factor_values ORDER BY factor, rowid";
  Rows by_date = testing::query_rows(by_date_, per_factor);
  ASSERT_EQ(by_date.size(), by_date_summary_.factor_rows);
  EXPECT_GT(by_date.size(), 40u * 30u);
  EXPECT_TRUE(by_date == testing::query_rows(by_factor_, per_factor));
  EXPECT_EQ(by_factor_summary_.factor_rows, by_date_summary_.factor_rows);
  EXPECT_EQ(by_factor_summary_.last_date, by_date_summary_.last_date);

  const std::string index = "SELECT * FROM index_daily ORDER BY rowid";
  EXPECT_TRUE(testing::query_rows(by_date_, index) == testing::query_rows(by_factor_, index));
  // Both are read through the (factor, date) index.
  const std::string declared = "SELECT name FROM sqlite_master WHERE type = 'index'";
  EXPECT_TRUE(testing::query_rows(by_factor_, declared) == testing::query_rows(by_date_, declared));
}

TEST_F(SampleLayoutTest, ByFactorStoresOneFactorAfterAnotherInByteOrder) {
  Rows stored = testing::query_rows(by_factor_, "SELECT factor FROM factor_values ORDER BY rowid");
  std::set<std::string> factors;
  for (std::size_t row = 1; row < stored.size(); ++row)
    ASSERT_LE(text_of(stored[row - 1][0]), text_of(stored[row][0])) << "row " << row;
  for (const auto& row : stored) factors.insert(text_of(row[0]));
  EXPECT_GE(factors.size(), 10u);
}

TEST_F(SampleLayoutTest, ByDateStoresEveryFactorOfADayTogetherDayByDay) {
  Rows stored = testing::query_rows(by_date_, "SELECT factor, date FROM factor_values ORDER BY rowid");
  for (std::size_t row = 1; row < stored.size(); ++row)
    ASSERT_LE(text_of(stored[row - 1][1]), text_of(stored[row][1])) << "row " << row;
  std::set<std::string> first_rows;
  for (std::size_t row = 0; row < 20; ++row) {
    EXPECT_EQ(text_of(stored[row][1]), text_of(stored[0][1]));
    first_rows.insert(text_of(stored[row][0]));
  }
  EXPECT_GE(first_rows.size(), 3u);
}

}  // namespace
}  // namespace velmora
