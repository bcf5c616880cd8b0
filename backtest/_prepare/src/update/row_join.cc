#include "update/row_join.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmora::backtest::update {

namespace {

// The ascending union of two ascending label lists; `a` itself when they are equal.
Labels label_union(const Labels& a, const Labels& b) {
  if (a == b || b.empty()) return a;
  if (a.empty()) return b;
  std::vector<std::string> merged;
  merged.reserve(a.size() + b.size());
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(merged));
  return Labels(std::move(merged));
}

// Copies the rows of `part` into `out` (whose columns are `columns`) from row `first_row` on; columns of
// `part` that `columns` lacks are left out.
void place_rows(const WideMatrix& part, const Labels& columns, double* out, std::size_t first_row) {
  const std::size_t cols = columns.size();
  const double* in = part.float_cells();
  double* target = out + first_row * cols;
  if (part.column_labels() == columns) {
    if (part.cell_count() > 0) std::memcpy(target, in, part.cell_count() * sizeof(double));
    return;
  }
  // (position in `part`, position in `columns`) of every column that both hold.
  std::vector<std::pair<std::size_t, std::size_t>> placed;
  for (std::size_t j = 0; j < part.cols(); ++j)
    if (auto at = columns.position(part.column_labels()[j])) placed.emplace_back(j, *at);
  for (std::size_t r = 0; r < part.rows(); ++r) {
    double* row = target + r * cols;
    std::fill_n(row, cols, NaN);
    const double* source = in + r * part.cols();
    for (const auto& [from, to] : placed) row[to] = source[from];
  }
}

}  // namespace

Labels joined_columns(const WideMatrix& earlier, const WideMatrix& later) {
  if (!earlier.has_data()) return later.has_data() ? later.column_labels() : Labels();
  if (!later.has_data()) return earlier.column_labels();
  return label_union(earlier.column_labels(), later.column_labels());
}

WideMatrix join_rows(const WideMatrix& earlier, const WideMatrix& later) {
  if (!earlier.has_data()) return later.has_data() ? later : WideMatrix();
  if (!later.has_data()) return earlier;
  Labels columns = joined_columns(earlier, later);
  std::vector<std::string> dates = earlier.row_labels().names();
  dates.insert(dates.end(), later.row_labels().begin(), later.row_labels().end());
  auto cells = allocate_float(dates.size() * columns.size());
  place_rows(earlier, columns, cells.get(), 0);
  place_rows(later, columns, cells.get(), earlier.rows());
  return WideMatrix::from_cells(std::move(cells), Labels(std::move(dates)), std::move(columns));
}

WideMatrix join_over(const WideMatrix& earlier, const WideMatrix& later, const Labels& columns) {
  std::vector<std::string> dates = earlier.row_labels().names();
  dates.insert(dates.end(), later.row_labels().begin(), later.row_labels().end());
  auto cells = allocate_float(dates.size() * columns.size());
  if (earlier.has_data()) place_rows(earlier.as_float(), columns, cells.get(), 0);
  if (later.has_data()) place_rows(later.as_float(), columns, cells.get(), earlier.rows());
  return WideMatrix::from_cells(std::move(cells), Labels(std::move(dates)), columns);
}

WideMatrix rows_from(const WideMatrix& matrix, const std::string& date) {
  const auto& dates = matrix.row_labels().names();
  auto first = static_cast<std::size_t>(std::lower_bound(dates.begin(), dates.end(), date) - dates.begin());
  return first == 0 ? matrix : matrix.slice_rows(first, matrix.rows());
}

WideMatrix rows_before(const WideMatrix& matrix, const std::string& date, bool drop_empty_columns) {
  const auto& dates = matrix.row_labels().names();
  auto kept_rows = static_cast<std::size_t>(std::lower_bound(dates.begin(), dates.end(), date) - dates.begin());
  if (kept_rows == matrix.rows()) return matrix;
  if (kept_rows == 0) return WideMatrix();
  WideMatrix kept = matrix.slice_rows(0, kept_rows);
  if (!drop_empty_columns) return kept;

  const std::size_t cols = kept.cols();
  std::vector<std::uint8_t> used(cols, 0);
  const double* in = kept.float_cells();
  for (std::size_t r = 0; r < kept_rows; ++r)
    for (std::size_t j = 0; j < cols; ++j) used[j] |= !std::isnan(in[r * cols + j]);
  if (std::all_of(used.begin(), used.end(), [](std::uint8_t u) { return u != 0; })) return kept;
  std::vector<std::string> columns;
  for (std::size_t j = 0; j < cols; ++j)
    if (used[j]) columns.push_back(kept.column_labels()[j]);
  return kept.reindex(kept.row_labels(), Labels(std::move(columns)));
}

}  // namespace velmora::backtest::update
