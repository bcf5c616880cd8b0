#include "velmora/backtest/wide_matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/matrix_builders.h"
#include "velmora/backtest/parallel.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

using testing::matrix;
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(WideMatrixArithmetic, ScalarOperationsFollowIeeeAndTreatBoolAsNumber) {
  auto m = matrix({"20240101"}, {"A", "B", "C", "D"}, {{1.0, 0.0, NaN, inf}});
  EXPECT_CELLS(m / 0.0, {{inf, NaN, NaN, inf}});
  EXPECT_CELLS(m * 0.0 + 1.0, {{1.0, 1.0, NaN, NaN}});
  EXPECT_CELLS(m - 1.0, {{0.0, -1.0, NaN, inf}});
  auto flags = m.gt(0.5);
  EXPECT_EQ(flags.cell_type(), CellType::boolean);
  EXPECT_CELLS(flags + 1.0, {{2.0, 1.0, 1.0, 2.0}});
}

TEST(WideMatrixArithmetic, EqualLabelsKeepTheirOrderDifferentOrderGivesSortedUnion) {
  auto a = matrix({"20240102", "20240101"}, {"B", "A"}, {{1, 2}, {3, 4}});
  auto b = matrix({"20240102", "20240101"}, {"B", "A"}, {{10, 20}, {30, 40}});
  auto same = a + b;
  EXPECT_LABELS(same, ({"20240102", "20240101"}), ({"B", "A"}));
  EXPECT_CELLS(same, {{11, 22}, {33, 44}});

  auto reordered = matrix({"20240101", "20240102"}, {"A", "B"}, {{40, 30}, {20, 10}});
  auto sum = a + reordered;
  EXPECT_LABELS(sum, ({"20240101", "20240102"}), ({"A", "B"}));
  EXPECT_CELLS(sum, {{44, 33}, {22, 11}});
}

TEST(WideMatrixArithmetic, LabelsPresentInOneOperandOnlyGiveNaN) {
  auto a = matrix({"20240101", "20240103"}, {"A"}, {{1}, {2}});
  auto b = matrix({"20240101", "20240102"}, {"A", "B"}, {{10, 20}, {30, 40}});
  auto product = a * b;
  EXPECT_LABELS(product, ({"20240101", "20240102", "20240103"}), ({"A", "B"}));
  EXPECT_CELLS(product, {{10, NaN}, {NaN, NaN}, {NaN, NaN}});
}

TEST(WideMatrixArithmetic, AnEmptyLabelListTakesTheOtherListInItsOwnOrder) {
  auto a = matrix({"20240102", "20240101"}, {"B", "A"}, {{1, 2}, {3, 4}});
  WideMatrix empty;
  auto sum = a + empty;
  EXPECT_LABELS(sum, ({"20240102", "20240101"}), ({"B", "A"}));
  EXPECT_CELLS(sum, {{NaN, NaN}, {NaN, NaN}});
}

TEST(WideMatrixArithmetic, AddWithFillCountsOneMissingSideAsFill) {
  auto flags = matrix({"20240101"}, {"A", "B", "C"}, {{1, 0, 1}}).astype(CellType::boolean);
  auto numbers = matrix({"20240101", "20240102"}, {"A", "B"}, {{NaN, 2.5}, {NaN, 1.0}});
  auto sum = flags.add(numbers, 0.0);
  EXPECT_LABELS(sum, ({"20240101", "20240102"}), ({"A", "B", "C"}));
  // true next to NaN → 1; false + 2.5; C absent on the right → 1 + fill; row 2 left absent.
  EXPECT_CELLS(sum, {{1.0, 2.5, 1.0}, {NaN, 1.0, NaN}});
}

TEST(WideMatrixComparison, NaNComparesFalseExceptForNotEqual) {
  auto m = matrix({"20240101"}, {"A", "B", "C"}, {{NaN, 0.0, 2.0}});
  EXPECT_CELLS(m.gt(0), {{0, 0, 1}});
  EXPECT_CELLS(m.le(0), {{0, 1, 0}});
  EXPECT_CELLS(m.eq(0), {{0, 1, 0}});
  EXPECT_CELLS(m.ne(0), {{1, 0, 1}});
  EXPECT_CELLS(m.lt(2), {{0, 1, 0}});
  EXPECT_CELLS(m.ge(2), {{0, 0, 1}});
}

TEST(WideMatrixComparison, EqualsNeverMatchesNaNAndRequiresIdenticalLabels) {
  auto a = matrix({"20240101"}, {"A", "B", "C"}, {{1, NaN, 3}});
  auto b = matrix({"20240101"}, {"A", "B", "C"}, {{1, NaN, 4}});
  EXPECT_CELLS(a.equals(b), {{1, 0, 0}});
  auto other = matrix({"20240101"}, {"A", "C", "B"}, {{1, 3, NaN}});
  EXPECT_THROW(a.equals(other), ValueError);
}

TEST(WideMatrixReshape, ReindexTakesExactlyTheGivenLabels) {
  auto m = matrix({"20240101", "20240102"}, {"A", "B"}, {{1, 2}, {3, 4}});
  auto r = m.reindex(Labels{"20240102", "20240105"}, Labels{"B", "Z", "A"});
  EXPECT_LABELS(r, ({"20240102", "20240105"}), ({"B", "Z", "A"}));
  EXPECT_CELLS(r, {{4, NaN, 3}, {NaN, NaN, NaN}});
}

TEST(WideMatrixReshape, ReindexGivesFloatCellsWhetherOrNotTheLabelsChange) {
  auto flags = matrix({"20240101", "20240102"}, {"A", "B"}, {{1, 0}, {0, 1}}).astype(CellType::boolean);
  auto same = flags.reindex(flags.row_labels(), flags.column_labels());
  EXPECT_EQ(same.cell_type(), CellType::float64);
  EXPECT_CELLS(same, {{1, 0}, {0, 1}});
  auto wider = flags.reindex(flags.row_labels(), Labels{"A", "B", "C"});
  EXPECT_EQ(wider.cell_type(), CellType::float64);
  EXPECT_CELLS(wider, {{1, 0, NaN}, {0, 1, NaN}});
}

TEST(WideMatrixReshape, ShiftMovesRowsByPositionAndFillsNaN) {
  auto m = matrix({"20240101", "20240102", "20240103"}, {"A"}, {{1}, {2}, {3}});
  EXPECT_CELLS(m.shift(1), {{NaN}, {1}, {2}});
  EXPECT_CELLS(m.shift(-2), {{3}, {NaN}, {NaN}});
  EXPECT_CELLS(m.shift(0), {{1}, {2}, {3}});
  EXPECT_CELLS(matrix({"a", "b"}, {"A"}, {{1}, {2}}).shift(-2), {{NaN}, {NaN}});
  EXPECT_CELLS(matrix({"a"}, {"A"}, {{1}}).shift(1), {{NaN}});
  EXPECT_CELLS(m.shift(7), {{NaN}, {NaN}, {NaN}});
}

TEST(WideMatrixReshape, RowFilterSortAndLabelExtremes) {
  auto m = matrix({"20240103", "20240101", "20240102"}, {"A"}, {{3}, {1}, {2}});
  EXPECT_EQ(m.min_row_label(), "20240101");
  EXPECT_EQ(m.max_row_label(), "20240103");
  auto sorted = m.sort_index();
  EXPECT_LABELS(sorted, ({"20240101", "20240102", "20240103"}), ({"A"}));
  EXPECT_CELLS(sorted, {{1}, {2}, {3}});
  auto late = m.filter_rows([](const std::string& label) { return label >= "20240102"; });
  EXPECT_LABELS(late, ({"20240103", "20240102"}), ({"A"}));
  EXPECT_CELLS(late, {{3}, {2}});

  WideMatrix no_rows = matrix({}, {"A"}, {});
  EXPECT_FALSE(no_rows.min_row_label().has_value());
  EXPECT_FALSE(no_rows.has_data());
}

// Dates without any instrument: no cell to move, but the row labels move as usual (the sanitizer build checks
// that no copy is made from the absent cells).
TEST(WideMatrixReshape, RowsWithoutColumnsShiftFilterAndSort) {
  auto dates_only = matrix({"d2", "d1", "d3"}, {}, {{}, {}, {}});
  auto shifted = dates_only.shift(1);
  EXPECT_LABELS(shifted, ({"d2", "d1", "d3"}), ({}));
  auto sorted = dates_only.sort_index();
  EXPECT_LABELS(sorted, ({"d1", "d2", "d3"}), ({}));
  auto late = dates_only.filter_rows([](const std::string& label) { return label >= "d2"; });
  EXPECT_LABELS(late, ({"d2", "d3"}), ({}));
  EXPECT_EQ(late.cell_count(), 0u);
}

TEST(WideMatrixReshape, SliceRowsSharesCellsAndKeepsColumns) {
  auto m = matrix({"d1", "d2", "d3"}, {"A", "B"}, {{1, 2}, {3, 4}, {5, 6}});
  auto middle = m.slice_rows(1, 3);
  EXPECT_LABELS(middle, ({"d2", "d3"}), ({"A", "B"}));
  EXPECT_EQ(middle.float_cells(), m.float_cells() + 2);
  EXPECT_CELLS(middle, {{3, 4}, {5, 6}});
}

TEST(WideMatrixRank, AverageRanksForTiesAndNaNStays) {
  auto m = matrix({"d1", "d2", "d3"}, {"A", "B", "C", "D"},
                  {{5, NaN, 5, 1}, {NaN, NaN, NaN, NaN}, {2, 2, 2, -1}});
  EXPECT_CELLS(m.rank(), {{2.5, NaN, 2.5, 1}, {NaN, NaN, NaN, NaN}, {3, 3, 3, 1}});
}

TEST(WideMatrixRank, LongRowsWithNegativesZerosAndTiesMatchTheDefinition) {
  // Rows long enough for the radix path, values spread over signs and magnitudes, with -0.0 tied to +0.0.
  std::vector<double> cells;
  std::vector<std::string> cols;
  const std::size_t n = 700;
  for (std::size_t j = 0; j < n; ++j) {
    cols.push_back(std::string("c").append(std::to_string(j)));
    double v = static_cast<double>((j * 7919) % 301) - 150.0;
    if (j % 50 == 0) v = (j % 100 == 0) ? -0.0 : 0.0;
    if (j % 13 == 0) v *= 1e-9;
    if (j % 17 == 0) v = NaN;
    cells.push_back(v);
  }
  auto m = WideMatrix::from_grid(cells, Labels{"d1"}, Labels(cols));
  auto ranked = m.rank();
  for (std::size_t j = 0; j < n; ++j) {
    if (std::isnan(cells[j])) {
      EXPECT_TRUE(std::isnan(ranked.value(0, j)));
      continue;
    }
    double less = 0, equal = 0;
    for (double other : cells) {
      if (std::isnan(other)) continue;
      less += other < cells[j];
      equal += other == cells[j];
    }
    EXPECT_EQ(ranked.value(0, j), less + (equal + 1.0) / 2.0) << "column " << j;
  }
}

TEST(WideMatrixRank, OneThreadAndManyThreadsGiveIdenticalResults) {
  std::vector<double> cells;
  const std::size_t rows = 300, cols = 500;
  for (std::size_t i = 0; i < rows * cols; ++i) cells.push_back(i % 7 == 0 ? NaN : static_cast<double>((i * 37) % 101));
  std::vector<std::string> row_labels, col_labels;
  for (std::size_t r = 0; r < rows; ++r) row_labels.push_back(std::to_string(20000000 + r));
  for (std::size_t c = 0; c < cols; ++c) col_labels.push_back(std::to_string(100000 + c));
  auto m = WideMatrix::from_grid(cells, Labels(row_labels), Labels(col_labels));
  set_thread_count(1);
  auto single = m.rank();
  auto shifted_single = (m.shift(-2) / m.shift(-1)) + m;
  set_thread_count(4);
  auto multi = m.rank();
  auto shifted_multi = (m.shift(-2) / m.shift(-1)) + m;
  set_thread_count(0);
  EXPECT_TRUE(identical(single, multi));
  EXPECT_TRUE(identical(shifted_single, shifted_multi));
}

TEST(WideMatrixMasks, ReplaceWhereNotnaAndAstype) {
  auto m = matrix({"d1"}, {"A", "B", "C", "D", "E"}, {{1, 0, NaN, inf, -inf}});
  auto finite = m.replace(std::vector<double>{inf, -inf}, NaN);
  EXPECT_CELLS(finite, {{1, 0, NaN, NaN, NaN}});
  EXPECT_CELLS(finite.notna(), {{1, 1, 0, 0, 0}});
  EXPECT_CELLS(finite.where(m.ne(0)), {{1, NaN, NaN, NaN, NaN}});
  EXPECT_CELLS(finite.where(m.ne(0), -7), {{1, -7, NaN, NaN, NaN}});
  auto as_bool = m.astype(CellType::boolean);
  EXPECT_EQ(as_bool.cell_type(), CellType::boolean);
  EXPECT_CELLS(as_bool, {{1, 0, 1, 1, 1}});
  EXPECT_EQ(as_bool.astype(CellType::float64).cell_type(), CellType::float64);
}

TEST(WideMatrixValue, CopiesShareCellsAndCopyIsIndependent) {
  auto m = matrix({"d1"}, {"A"}, {{1}});
  WideMatrix shared = m;
  EXPECT_EQ(shared.float_cells(), m.float_cells());
  auto deep = m.copy();
  EXPECT_NE(deep.float_cells(), m.float_cells());
  EXPECT_TRUE(identical(deep, m));
  auto constant = WideMatrix::constant_like(m, 0.0);
  EXPECT_CELLS(constant, {{0.0}});
  EXPECT_THROW(WideMatrix::from_grid({1, 2}, Labels{"d1"}, Labels{"A"}), ValueError);
}

}  // namespace
}  // namespace velmora::backtest
