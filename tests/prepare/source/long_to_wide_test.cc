#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/matrix_builders.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/parallel.h"
#include "velmora/errors.h"
#include "velmora/query_table.h"

namespace velmora::backtest {
namespace {

using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;
const double nan = NaN;

Cell text(const char* s) { return std::string(s); }

QueryTable long_rows(const std::vector<Row>& rows) {
  return QueryTable::from_rows({"order_book_id", "date", "factor", "value"}, rows);
}

MatrixMap convert(const QueryTable& table, const Strings& names) {
  return GroupPreparedDataBuilder::_vm_factors_to_matrices(&table, names);
}

TEST(LongToWide, NoAnswerGivesOneEmptyMatrixPerDistinctNameInFirstOrder) {
  MatrixMap absent = GroupPreparedDataBuilder::_vm_factors_to_matrices(nullptr, {"a", "b", "a"});
  EXPECT_EQ(absent.keys(), (Strings{"a", "b"}));
  // A table without rows is not inspected, so missing columns do not matter.
  QueryTable no_rows = QueryTable::from_rows({"whatever"}, {});
  MatrixMap empty = convert(no_rows, {"b", "a"});
  EXPECT_EQ(empty.keys(), (Strings{"b", "a"}));
  for (const auto& [name, matrix] : empty) {
    EXPECT_EQ(matrix.rows(), 0u) << name;
    EXPECT_EQ(matrix.cols(), 0u) << name;
  }
}

TEST(LongToWide, MissingIdentifierOrDateColumnIsAKeyError) {
  QueryTable no_id = QueryTable::from_rows({"date", "factor", "value"}, {Row{text("2024-01-02"), text("a"), 1.0}});
  QueryTable no_date = QueryTable::from_rows({"order_book_id", "factor", "value"}, {Row{text("000001.XSHE"), text("a"), 1.0}});
  for (const QueryTable* table : {&no_id, &no_date}) {
    try {
      convert(*table, {"a"});
      ADD_FAILURE() << "no KeyError";
    } catch (const KeyError& e) {
      EXPECT_STREQ(e.what(), "因子查询返回结果缺少 order_book_id/date 列");
    }
  }
}

TEST(LongToWide, LabelsAreSortedAndDateFormsMeet) {
  QueryTable table = long_rows({
      Row{text("600000.XSHG"), text("2024-01-03"), text("a"), 3.0},
      Row{text("000001.XSHE"), text("20240102"), text("a"), 1.0},
      Row{text("300750.XSHE"), DateTime{19724LL * 86'400'000'000}, text("a"), 2.0},  // 2024-01-02
      Row{text("000001.XSHE"), text("2024-01-03 15:00:00"), text("a"), 4.0},
  });
  WideMatrix m = convert(table, {"a"}).at("a");
  EXPECT_LABELS(m, ({"20240102", "20240103"}), ({"000001", "300750", "600000"}));
  EXPECT_CELLS(m, ({{1.0, 2.0, nan}, {4.0, nan, 3.0}}));
}

TEST(LongToWide, SixCharacterCollisionsShareAColumnAndTheLaterRowWins) {
  QueryTable table = long_rows({
      Row{text("000001.XSHE"), text("2024-01-02"), text("a"), 1.0},
      Row{text("000001.XSHG"), text("2024-01-02"), text("a"), 2.0},
      Row{text("000001.XSHG"), text("2024-01-03"), text("a"), 5.0},
      Row{text("00001"), text("2024-01-03"), text("a"), 6.0},  // shorter than six characters: kept whole
  });
  WideMatrix m = convert(table, {"a"}).at("a");
  EXPECT_LABELS(m, ({"20240102", "20240103"}), ({"000001", "00001"}));
  EXPECT_CELLS(m, ({{2.0, nan}, {5.0, 6.0}}));
}

TEST(LongToWide, DuplicatePairsKeepTheLastRowThatHasAValue) {
  struct Case {
    const char* what;
    Cell first;
    Cell second;
    double expected;
  } cases[] = {
      {"text number then unparsable text", text("1.5"), text("n/a"), 1.5},
      {"two numbers", 1.5, 2.5, 2.5},
      {"number then missing", std::int64_t{7}, Cell(), 7.0},
      {"missing then text number", Cell(), text(" 3e0 "), 3.0},
  };
  for (const auto& c : cases) {
    QueryTable table = long_rows({Row{text("000001.XSHE"), text("20240101"), text("a"), c.first},
                                  Row{text("000001.XSHE"), text("20240101"), text("a"), c.second}});
    WideMatrix m = convert(table, {"a"}).at("a");
    EXPECT_CELLS(m, ({{c.expected}})) << c.what;
  }
}

TEST(LongToWide, RowsWithUnreadableDatesMissingIdsOrValuesAreDropped) {
  QueryTable table = long_rows({
      Row{text("000001.XSHE"), text("not a date"), text("a"), 1.0},
      Row{text("000002.XSHE"), text("2024-02-30"), text("a"), 1.0},
      Row{Cell(), text("2024-01-02"), text("a"), 1.0},
      Row{text("000003.XSHE"), Cell(), text("a"), 1.0},
      Row{text("000004.XSHE"), text("2024-01-02"), text("a"), text("abc")},
      Row{text("000005.XSHE"), text("2024-01-02"), text("a"), 5.0},
  });
  WideMatrix m = convert(table, {"a"}).at("a");
  EXPECT_LABELS(m, ({"20240102"}), ({"000005"}));
  EXPECT_CELLS(m, ({{5.0}}));

  QueryTable all_bad = long_rows({Row{text("000001.XSHE"), text("bad"), text("a"), 1.0}});
  WideMatrix none = convert(all_bad, {"a"}).at("a");
  EXPECT_FALSE(none.has_data());
}

TEST(LongToWide, GroupsByFactorAndIgnoresFactorsNotAskedFor) {
  QueryTable table = long_rows({
      Row{text("000001.XSHE"), text("2024-01-02"), text("b"), 2.0},
      Row{text("000001.XSHE"), text("2024-01-02"), text("zzz"), 9.0},
      Row{text("000001.XSHE"), text("2024-01-02"), text("a"), 1.0},
  });
  MatrixMap result = convert(table, {"a", "c", "b"});
  EXPECT_EQ(result.keys(), (Strings{"a", "c", "b"}));
  EXPECT_CELLS(result.at("a"), ({{1.0}}));
  EXPECT_CELLS(result.at("b"), ({{2.0}}));
  EXPECT_FALSE(result.at("c").has_data());
}

TEST(LongToWide, FactorNameColumnAndNumericFactorValuesAreReadAsText) {
  QueryTable table = QueryTable::from_rows(
      {"order_book_id", "date", "factor_name", "value"},
      {Row{text("000001.XSHE"), text("2024-01-02"), std::int64_t{1}, 1.0},
       Row{text("000001.XSHE"), text("2024-01-03"), text("1"), 2.0}});
  EXPECT_CELLS(convert(table, {"1"}).at("1"), ({{1.0}, {2.0}}));
}

TEST(LongToWide, RowsWithoutAFactorColumnBelongToASingleName) {
  QueryTable table = QueryTable::from_rows({"date", "order_book_id", "value"},
                                           {Row{text("2024-01-02"), text("000001.XSHE"), 1.0}});
  EXPECT_CELLS(convert(table, {"only"}).at("only"), ({{1.0}}));
  MatrixMap two = convert(table, {"a", "b"});
  EXPECT_FALSE(two.at("a").has_data());
  EXPECT_FALSE(two.at("b").has_data());
}

TEST(LongToWide, WideLayoutConvertsTheColumnsThatExist) {
  QueryTable table = QueryTable::from_rows(
      {"order_book_id", "date", "Close", "Open"},
      {Row{text("000001.XSHE"), text("2024-01-02"), 10.0, text("9.5")},
       Row{text("600000.XSHG"), text("2024-01-02"), Cell(), text("x")},
       Row{text("000001.XSHE"), text("2024-01-02"), 11.0, Cell()}});
  MatrixMap result = convert(table, {"Open", "High", "Close"});
  EXPECT_EQ(result.keys(), (Strings{"Open", "High", "Close"}));
  EXPECT_LABELS(result.at("Open"), ({"20240102"}), ({"000001"}));
  EXPECT_CELLS(result.at("Open"), ({{9.5}}));
  EXPECT_FALSE(result.at("High").has_data());
  EXPECT_LABELS(result.at("Close"), ({"20240102"}), ({"000001"}));
  EXPECT_CELLS(result.at("Close"), ({{11.0}}));
}

// Long rows of two factors over a grid of dates and instruments, with duplicates and bad values, either
// grouped by factor or interleaved row by row.
QueryTable random_rows(bool interleaved, std::size_t count) {
  std::mt19937 random(7);
  std::vector<Row> rows;
  rows.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    int factor = interleaved ? static_cast<int>(i % 2) : (i < count / 2 ? 0 : 1);
    std::string id = std::to_string(100000 + random() % 300) + (random() % 2 ? ".XSHE" : ".XSHG");
    std::string date = "2024-0" + std::to_string(1 + random() % 9) + "-1" + std::to_string(random() % 10);
    Cell value = random() % 50 == 0 ? Cell(text("bad")) : Cell(static_cast<double>(random() % 1000));
    rows.push_back(Row{id, date, text(factor ? "b" : "a"), value});
  }
  return long_rows(rows);
}

TEST(LongToWide, ResultsDoNotDependOnThreadsOrOnHowFactorsAreInterleaved) {
  QueryTable grouped = random_rows(false, 400000);
  set_thread_count(1);
  MatrixMap one = convert(grouped, {"a", "b"});
  set_thread_count(4);
  MatrixMap four = convert(grouped, {"a", "b"});
  set_thread_count(0);
  for (const char* name : {"a", "b"}) {
    EXPECT_TRUE(one.at(name).has_data());
    EXPECT_TRUE(identical(one.at(name), four.at(name))) << name;
  }

  // Interleaved rows of the same answer: factor a is every even row.
  QueryTable interleaved = random_rows(true, 20000);
  std::vector<std::size_t> even;
  for (std::size_t i = 0; i < interleaved.num_rows(); i += 2) even.push_back(i);
  QueryTable only_a = interleaved.take(even);
  EXPECT_TRUE(identical(convert(interleaved, {"a", "b"}).at("a"), convert(only_a, {"a"}).at("a")));
}

// One factor over 90 dates x 3,000 instruments, every pair once in date order, with a later duplicate
// (another value, or none) after a tenth of the rows: enough rows for the grid to be filled in bands.
std::vector<Row> dated_rows() {
  std::mt19937 random(11);
  std::vector<Row> rows;
  for (int day = 0; day < 90; ++day) {
    const int month = 1 + day / 28, day_of_month = 1 + day % 28;
    std::string date = "2024-0" + std::to_string(month) + (day_of_month < 10 ? "-0" : "-") + std::to_string(day_of_month);
    for (int key = 0; key < 3000; ++key) {
      std::string id = std::to_string(100000 + key) + ".XSHE";
      rows.push_back(Row{id, date, text("a"), static_cast<double>(random() % 100000)});
      if (random() % 10 == 0) rows.push_back(Row{id, date, text("a"), random() % 3 ? Cell(-1.0 - day) : Cell()});
    }
  }
  return rows;
}

TEST(LongToWide, RowsInDateOrderGiveTheCellsOfAnyOrderOnAnyNumberOfThreads) {
  // In date order each band of the grid reads only its own stretch of rows; with the dates reversed (the
  // rows of one date keeping their order) every band reads all rows. Both must give the same cells.
  std::vector<Row> rows = dated_rows();
  std::vector<Row> reversed = rows;
  std::stable_sort(reversed.begin(), reversed.end(),
                   [](const Row& a, const Row& b) { return std::get<std::string>(a[1]) > std::get<std::string>(b[1]); });
  set_thread_count(1);
  const WideMatrix reference = convert(long_rows(reversed), {"a"}).at("a");
  ASSERT_EQ(reference.rows(), 90u);
  ASSERT_EQ(reference.cols(), 3000u);
  const QueryTable sorted = long_rows(rows);
  for (std::size_t threads : {1, 2, 3, 4, 7}) {
    set_thread_count(threads);
    EXPECT_TRUE(identical(reference, convert(sorted, {"a"}).at("a"))) << threads << " threads";
  }
  set_thread_count(0);
}

}  // namespace
}  // namespace velmora::backtest
