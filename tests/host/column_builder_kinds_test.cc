// A column that ends up mixing texts or date-times with numbers keeps every cell's own kind, whatever the
// order the cells came in: integers that first sat beside doubles (and were held as doubles then) are
// integers again once the column becomes a variant one. The factor grouping and the instrument keys read
// their text forms, so 1 must stay "1" and never become "1.0".

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/column_builder.h"

namespace velmora {
namespace {

TEST(ColumnBuilderKindsTest, IntegersKeepTheirKindWhenTheColumnBecomesVariant) {
  const std::int64_t wide = (std::int64_t{1} << 62) + 1;  // no double holds it exactly
  struct Case {
    const char* name;
    std::vector<Cell> cells;
  } cases[] = {
      {"int, double, text", {std::int64_t{1}, 1.0, std::string("f1")}},
      {"double, int, text", {1.0, std::int64_t{1}, std::string("f1")}},
      {"int, missing, double, date-time", {std::int64_t{7}, Cell(), 2.5, DateTime{86400000000}}},
      {"ints beyond 2^53, then a double and a text", {wide, -wide, 0.5, std::int64_t{3}, std::string("x")}},
      {"missing first", {Cell(), std::int64_t{20240105}, 20240105.0, std::string("2024-01-05")}},
      {"text first", {std::string("f1"), std::int64_t{1}, 1.0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ColumnBuilder builder;
    for (const auto& cell : c.cells) builder.append(cell);
    const Column column = builder.finish();
    ASSERT_EQ(column.type(), ColumnType::variant);
    ASSERT_EQ(column.size(), c.cells.size());
    for (std::size_t row = 0; row < c.cells.size(); ++row) {
      EXPECT_EQ(column.cell(row), c.cells[row]) << "row " << row;
    }
  }
}

TEST(ColumnBuilderKindsTest, NumbersAloneStillMakeAFloatColumn) {
  ColumnBuilder builder;
  for (const Cell& cell : std::vector<Cell>{std::int64_t{1}, 2.5, Cell(), std::int64_t{-4}}) builder.append(cell);
  const Column column = builder.finish();
  ASSERT_EQ(column.type(), ColumnType::float64);
  EXPECT_EQ(column.cell(0), Cell(1.0));
  EXPECT_EQ(column.cell(2), Cell());
  EXPECT_EQ(column.cell(3), Cell(-4.0));
}

}  // namespace
}  // namespace velmora
