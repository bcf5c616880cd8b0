#pragma once

// The cell-wise loops behind the matrix operations, for code of this library that computes several steps in
// one pass instead of one new matrix per step. Every new matrix costs a page fault per page on its first
// write, and on some machines (virtual machines in particular) those faults hardly get faster with more
// threads, so a chain of steps done cell by cell in one loop is both faster and scales better. Rows are
// split across threads; each thread writes only its own rows.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "matrix/alignment.h"
#include "velmora/backtest/cells.h"
#include "velmora/backtest/parallel.h"
#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest::kernels {

inline constexpr std::size_t MIN_CELLS_PER_THREAD = 1 << 16;

inline std::size_t min_rows_per_thread(std::size_t cols) {
  return std::max<std::size_t>(1, MIN_CELLS_PER_THREAD / std::max<std::size_t>(1, cols));
}

template <typename F>
void for_each_row(std::size_t rows, std::size_t cols, F&& body) {
  parallel_for(rows, min_rows_per_thread(cols), [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) body(r);
  });
}

// A sum where a value missing (NaN) on exactly one side counts as `fill`; NaN when both are missing.
inline double sum_with_fill(double a, double b, double fill) {
  const bool a_missing = std::isnan(a), b_missing = std::isnan(b);
  if (a_missing && b_missing) return NaN;
  return (a_missing ? fill : a) + (b_missing ? fill : b);
}

// Uninitialised storage for n cells: bytes when Cell is bool, doubles otherwise.
template <typename Cell>
auto allocate_cells(std::size_t n) {
  if constexpr (std::is_same_v<Cell, bool>) return allocate_bool(n);
  else return allocate_float(n);
}

// Applies f to every cell (bool cells as 1.0 / 0.0); the result has m's labels and holds float64 cells, or
// bool cells when f answers bool.
template <typename F>
WideMatrix map_cells(const WideMatrix& m, F&& f) {
  const WideMatrix source = m.as_float();
  const std::size_t cols = source.cols();
  const double* in = source.float_cells();
  auto cells = allocate_cells<std::invoke_result_t<F&, double>>(source.cell_count());
  auto* out = cells.get();
  for_each_row(source.rows(), cols, [&](std::size_t r) {
    for (std::size_t j = r * cols, end = j + cols; j < end; ++j) out[j] = f(in[j]);
  });
  return WideMatrix::from_cells(std::move(cells), source.row_labels(), source.column_labels());
}

// Position of a row or column in an operand that lacks it.
inline constexpr std::ptrdiff_t ABSENT = -1;

// Over the union of the left and right labels (see the alignment rules in wide_matrix.h), calls
// cell(left_row, left_col, right_row, right_col) for every cell with that cell's row and column in each
// operand, the column ABSENT where the operand lacks the row or the column, and keeps its answer: float64
// cells, or bool cells when `cell` answers bool.
template <typename Cell>
WideMatrix combine_cells(const WideMatrix& left, const WideMatrix& right, Cell&& cell) {
  AxisAlignment rows = align_axis(left.row_labels(), right.row_labels());
  AxisAlignment cols = align_axis(left.column_labels(), right.column_labels());
  const std::size_t nr = rows.labels.size(), nc = cols.labels.size();
  using Answer = std::invoke_result_t<Cell&, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t>;
  auto cells = allocate_cells<Answer>(nr * nc);
  auto* out = cells.get();
  const bool same_labels = rows.left_identity && rows.right_identity && cols.left_identity && cols.right_identity;
  auto position = [](bool identity, const std::vector<std::ptrdiff_t>& map, std::ptrdiff_t k) {
    return identity ? k : map[static_cast<std::size_t>(k)];
  };
  for_each_row(nr, nc, [&](std::size_t i) {
    auto* orow = out + i * nc;
    const auto row = static_cast<std::ptrdiff_t>(i), width = static_cast<std::ptrdiff_t>(nc);
    if (same_labels) {
      for (std::ptrdiff_t j = 0; j < width; ++j) orow[j] = cell(row, j, row, j);
      return;
    }
    const std::ptrdiff_t li = position(rows.left_identity, rows.left, row);
    const std::ptrdiff_t ri = position(rows.right_identity, rows.right, row);
    for (std::ptrdiff_t j = 0; j < width; ++j) {
      const std::ptrdiff_t lj = li < 0 ? ABSENT : position(cols.left_identity, cols.left, j);
      const std::ptrdiff_t rj = ri < 0 ? ABSENT : position(cols.right_identity, cols.right, j);
      orow[j] = cell(li, lj, ri, rj);
    }
  });
  return WideMatrix::from_cells(std::move(cells), std::move(rows.labels), std::move(cols.labels));
}

// Applies f(left, right) over the union labels, a cell an operand lacks entering as NaN and bool cells as
// 1.0 / 0.0; float64 cells, or bool cells when f answers bool.
template <typename F>
WideMatrix combine(const WideMatrix& left_in, const WideMatrix& right_in, F&& f) {
  const WideMatrix left = left_in.as_float(), right = right_in.as_float();
  const double* l = left.float_cells();
  const double* r = right.float_cells();
  const auto lc = static_cast<std::ptrdiff_t>(left.cols()), rc = static_cast<std::ptrdiff_t>(right.cols());
  return combine_cells(left, right, [&](std::ptrdiff_t li, std::ptrdiff_t lj, std::ptrdiff_t ri, std::ptrdiff_t rj) {
    return f(lj < 0 ? NaN : l[li * lc + lj], rj < 0 ? NaN : r[ri * rc + rj]);
  });
}

}  // namespace velmora::backtest::kernels
