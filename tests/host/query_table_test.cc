#include "velmora/query_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "velmora/column_builder.h"

namespace velmora {
namespace {

using Row = std::vector<Cell>;

TEST(ColumnBuilder, ChoosesTheKindFromTheCells) {
  struct Case {
    const char* what;
    std::vector<Cell> cells;
    ColumnType expected;
  } cases[] = {
      {"integers", {std::int64_t{1}, Cell(), std::int64_t{3}}, ColumnType::int64},
      {"integers then a double", {std::int64_t{1}, 2.5}, ColumnType::float64},
      {"texts", {std::string("a"), Cell(), std::string("b")}, ColumnType::text},
      {"date-times", {DateTime{5}, Cell()}, ColumnType::datetime},
      {"text beside a number", {1.5, std::string("n/a")}, ColumnType::variant},
      {"number after texts", {std::string("x"), std::int64_t{7}}, ColumnType::variant},
      {"date-time beside a text", {DateTime{1}, std::string("x")}, ColumnType::variant},
      {"missing only", {Cell(), Cell()}, ColumnType::float64},
  };
  for (const auto& c : cases) {
    ColumnBuilder builder;
    for (const auto& cell : c.cells) builder.append(cell);
    Column column = builder.finish();
    EXPECT_EQ(column.type(), c.expected) << c.what;
    ASSERT_EQ(column.size(), c.cells.size()) << c.what;
    for (std::size_t i = 0; i < c.cells.size(); ++i) {
      Cell expected = c.cells[i];
      // A column that turned float64 holds its integers as doubles.
      if (c.expected == ColumnType::float64 && std::holds_alternative<std::int64_t>(expected)) {
        expected = static_cast<double>(std::get<std::int64_t>(expected));
      }
      EXPECT_EQ(column.cell(i), expected) << c.what << " row " << i;
      EXPECT_EQ(column.is_missing(i), std::holds_alternative<std::monostate>(c.cells[i])) << c.what << " row " << i;
    }
  }
}

TEST(ColumnBuilder, MissingCellsBeforeTheFirstValueStayMissing) {
  ColumnBuilder builder;
  builder.append_missing();
  builder.append_missing();
  builder.append_double(1.0);
  builder.append_int(2);
  Column column = builder.finish();
  ASSERT_EQ(column.type(), ColumnType::float64);
  EXPECT_TRUE(column.is_missing(0));
  EXPECT_TRUE(column.is_missing(1));
  EXPECT_TRUE(std::isnan(column.float64_values()[0]));
  EXPECT_EQ(column.float64_values()[3], 2.0);
}

TEST(ColumnBuilder, EncodesEachDistinctTextOnce) {
  ColumnBuilder builder;
  for (const char* text : {"000001.XSHE", "000001.XSHE", "600000.XSHG", "000001.XSHE", "600000.XSHG"}) {
    builder.append_text(text);
  }
  builder.append_missing();
  Column column = builder.finish();
  EXPECT_EQ(column.dictionary(), (std::vector<std::string>{"000001.XSHE", "600000.XSHG"}));
  std::vector<std::int32_t> codes(column.text_codes().begin(), column.text_codes().end());
  EXPECT_EQ(codes, (std::vector<std::int32_t>{0, 0, 1, 0, 1, -1}));
}

TEST(ParseNumber, ReadsNumbersAndRejectsEverythingElse) {
  struct Case {
    const char* text;
    std::optional<double> expected;
  } cases[] = {
      {"12.5", 12.5}, {" -3 ", -3.0}, {"+4e2", 400.0}, {"1e400", std::numeric_limits<double>::infinity()},
      {"-inf", -std::numeric_limits<double>::infinity()}, {".5", 0.5}, {"n/a", std::nullopt},
      {"", std::nullopt}, {"1.5x", std::nullopt}, {"--1", std::nullopt}, {"+-1", std::nullopt},
      {"1,5", std::nullopt}, {"0x10", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_number(c.text), c.expected) << c.text;
  auto nan = parse_number("NaN");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
}

TEST(Column, NumericCoercesEachKind) {
  QueryTable table = QueryTable::from_rows(
      {"text", "mixed", "ints", "when"},
      {Row{std::string("12.5"), 1.5, std::int64_t{1}, DateTime{0}},
       Row{std::string("n/a"), std::string(" 2 "), Cell(), Cell()},
       Row{Cell(), Cell(), std::int64_t{-4}, DateTime{1}},
       Row{std::string("12.5"), std::int64_t{3}, std::int64_t{5}, DateTime{2}}});
  auto numbers = [&](const char* name) { return *table.column(name).numeric(); };
  auto expect_numbers = [](const std::vector<double>& got, const std::vector<double>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i) {
      if (std::isnan(want[i])) {
        EXPECT_TRUE(std::isnan(got[i])) << what << " row " << i;
      } else {
        EXPECT_EQ(got[i], want[i]) << what << " row " << i;
      }
    }
  };
  double nan = std::numeric_limits<double>::quiet_NaN();
  expect_numbers(numbers("text"), {12.5, nan, nan, 12.5}, "text");
  expect_numbers(numbers("mixed"), {1.5, 2.0, nan, 3.0}, "mixed");
  expect_numbers(numbers("ints"), {1.0, nan, -4.0, 5.0}, "ints");
  expect_numbers(numbers("when"), {nan, nan, nan, nan}, "date-times are not numbers");
}

TEST(Column, EncodeGivesCodesIntoDistinctValues) {
  QueryTable table = QueryTable::from_rows({"ints", "mixed"}, {Row{std::int64_t{7}, 1.0},
                                                               Row{Cell(), std::string("a")},
                                                               Row{std::int64_t{7}, 1.0},
                                                               Row{std::int64_t{8}, Cell()}});
  EncodedColumn ints = table.column("ints").encode();
  EXPECT_EQ(*ints.codes, (std::vector<std::int32_t>{0, -1, 0, 1}));
  EXPECT_EQ(ints.distinct, (std::vector<Cell>{std::int64_t{7}, std::int64_t{8}}));
  EncodedColumn mixed = table.column("mixed").encode();
  EXPECT_EQ(*mixed.codes, (std::vector<std::int32_t>{0, 1, 0, -1}));
  EXPECT_EQ(mixed.distinct, (std::vector<Cell>{1.0, std::string("a")}));
}

TEST(QueryTable, CopiesAndRenamesShareTheCells) {
  QueryTable table = QueryTable::from_rows({"order_book_id", "value"},
                                           {Row{std::string("000001.XSHE"), 1.0}, Row{std::string("600000.XSHG"), 2.0}});
  QueryTable copy = table;
  QueryTable renamed = table.rename("order_book_id", "ukey");
  EXPECT_EQ(renamed.column_names(), (std::vector<std::string>{"ukey", "value"}));
  EXPECT_EQ(renamed.column("ukey").text_codes().data(), table.column("order_book_id").text_codes().data());
  EXPECT_EQ(copy.column("value").float64_values().data(), table.column("value").float64_values().data());
  // The original keeps its names.
  EXPECT_TRUE(table.has_column("order_book_id"));
  EXPECT_FALSE(table.has_column("ukey"));
}

TEST(QueryTable, RenameOntoAnExistingNameReplacesIt) {
  QueryTable table = QueryTable::from_rows({"x", "value"}, {Row{1.0, 2.0}});
  QueryTable renamed = table.rename("value", "x");
  EXPECT_EQ(renamed.column_names(), (std::vector<std::string>{"x"}));
  EXPECT_EQ(renamed.column("x").cell(0), Cell(2.0));
  EXPECT_EQ(table.rename("absent", "y").column_names(), table.column_names());
}

TEST(QueryTable, TakeKeepsKindsAndMissingCells) {
  QueryTable table = QueryTable::from_rows(
      {"id", "v", "n"}, {Row{std::string("a"), 1.0, std::int64_t{1}}, Row{Cell(), Cell(), Cell()},
                         Row{std::string("c"), std::string("x"), std::int64_t{3}}});
  QueryTable taken = table.take({2, 1, 2});
  ASSERT_EQ(taken.num_rows(), 3u);
  EXPECT_EQ(taken.column("id").cell(0), Cell(std::string("c")));
  EXPECT_TRUE(taken.column("id").is_missing(1));
  EXPECT_TRUE(taken.column("v").is_missing(1));
  EXPECT_TRUE(taken.column("n").is_missing(1));
  EXPECT_EQ(taken.column("v").cell(2), Cell(std::string("x")));
  EXPECT_EQ(taken.column("n").cell(2), Cell(std::int64_t{3}));
}

TEST(QueryTable, ALongRowCostsWellUnder32Bytes) {
  // Text id, text date, text factor and a float value: three int32 codes and one double per row.
  ColumnBuilder ids, dates, factors, values;
  constexpr std::size_t ROWS = 10000;
  for (std::size_t i = 0; i < ROWS; ++i) {
    ids.append_text(std::to_string(600000 + i % 100) + ".XSHG");
    dates.append_text("2024-01-" + std::to_string(10 + i / 1000));
    factors.append_text("Close");
    values.append_double(static_cast<double>(i));
  }
  Column columns[] = {ids.finish(), dates.finish(), factors.finish(), values.finish()};
  std::size_t per_row = columns[0].text_codes().size_bytes() + columns[1].text_codes().size_bytes() +
                        columns[2].text_codes().size_bytes() + columns[3].float64_values().size_bytes() +
                        columns[3].validity().size_bytes();
  EXPECT_LE(per_row / ROWS, 20u);
  EXPECT_EQ(columns[0].dictionary().size(), 100u);
}

}  // namespace
}  // namespace velmora
