#pragma once

// A date × instrument table: rows are trading dates ("YYYYMMDD", unique), columns are instrument keys
// (unique), cells are float64 with NaN for "no value", or bool for masks and comparison results.
//
// Immutable: every operation returns a new matrix and never changes its inputs. Copies are O(1) and share
// labels and cells, so one matrix can sit in the source map and in the payload at once. Cells are stored
// row-major and contiguous; a matrix may also be a read-only view of memory owned elsewhere (a mapped store
// file), which stays alive while any matrix refers to it.
//
// A default-constructed (0 × 0) matrix is the "no data" placeholder. A matrix has data when it has rows.
//
// Alignment rules shared by the binary operations: when both label lists are equal, that list is used;
// when one is empty, the other one; otherwise the ascending union. Cells that an operand lacks count as
// absent. Where a bool matrix meets a number, true counts 1.0 and false 0.0.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velmora/backtest/cells.h"
#include "velmora/backtest/labels.h"
#include "velmora/backtest/prepare_export.h"

namespace velmora::backtest {

enum class CellType : std::uint8_t { float64, boolean };

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

class VELMORA_PREPARE_EXPORT WideMatrix {
 public:
  // The empty placeholder: no rows, no columns.
  WideMatrix();

  // From a row-major grid. REQUIRES: cells.size() == rows.size() * columns.size().
  static WideMatrix from_grid(std::vector<double> cells, Labels rows, Labels columns);
  // Bool cells as bytes 0 or 1. REQUIRES as above.
  static WideMatrix from_bool_grid(std::vector<std::uint8_t> cells, Labels rows, Labels columns);
  // A read-only view of row-major cells that `owner` keeps alive (float64: doubles; bool: bytes 0/1).
  static WideMatrix view(CellType type, const void* cells, std::shared_ptr<const void> owner, Labels rows,
                         Labels columns);
  // Takes ownership of cells made with allocate_float / allocate_bool, without copying.
  // REQUIRES: the storage holds rows.size() * columns.size() cells, every one written.
  static WideMatrix from_cells(FloatCells cells, Labels rows, Labels columns);
  static WideMatrix from_cells(BoolCells cells, Labels rows, Labels columns);
  // The reference's labels, every cell `fill` (float64). The reference's cells are not read.
  static WideMatrix constant_like(const WideMatrix& reference, double fill = NaN);

  std::size_t rows() const { return rows_.size(); }
  std::size_t cols() const { return columns_.size(); }
  std::size_t cell_count() const { return rows_.size() * columns_.size(); }
  bool has_data() const { return !rows_.empty(); }
  const Labels& row_labels() const { return rows_; }
  const Labels& column_labels() const { return columns_; }
  CellType cell_type() const { return type_; }

  // Row-major cells. REQUIRES: cell_type() is float64 (resp. boolean).
  const double* float_cells() const { return static_cast<const double*>(cells_); }
  const std::uint8_t* bool_cells() const { return static_cast<const std::uint8_t*>(cells_); }
  // The cell as a number (bool as 1.0 / 0.0).
  double value(std::size_t row, std::size_t col) const;

  // Scalar arithmetic, cell by cell (IEEE; division is true division).
  WideMatrix operator+(double x) const;
  WideMatrix operator-(double x) const;
  WideMatrix operator*(double x) const;
  WideMatrix operator/(double x) const;

  // Aligned arithmetic over the union labels; absent or NaN on either side gives NaN.
  WideMatrix operator+(const WideMatrix& other) const;
  WideMatrix operator-(const WideMatrix& other) const;
  WideMatrix operator*(const WideMatrix& other) const;
  WideMatrix operator/(const WideMatrix& other) const;

  // Aligned sum where a value missing (absent or NaN) on exactly one side counts as `fill`; NaN when both miss.
  WideMatrix add(const WideMatrix& other, double fill) const;

  // Scalar comparisons → bool matrix with the same labels. NaN compares false, except for `ne`.
  WideMatrix eq(double x) const;
  WideMatrix ne(double x) const;
  WideMatrix lt(double x) const;
  WideMatrix le(double x) const;
  WideMatrix gt(double x) const;
  WideMatrix ge(double x) const;

  // Cell-wise equality with a matrix of identical labels → bool. NaN equals nothing.
  // REQUIRES: identical row and column labels (callers reindex first).
  WideMatrix equals(const WideMatrix& other) const;

  // Exactly the given labels, always as float64: cells the input lacks are NaN, and a bool input's cells
  // become 1.0 / 0.0. The result is float64 even when the labels are the input's own, so its cell type never
  // depends on whether the labels changed.
  WideMatrix reindex(const Labels& rows, const Labels& columns) const;

  // Values moved down by n rows (n > 0) or up by |n| rows (n < 0); vacated rows are NaN. Labels unchanged.
  WideMatrix shift(std::ptrdiff_t n) const;

  // Every cell equal to one of `values` becomes `replacement`.
  WideMatrix replace(std::span<const double> values, double replacement) const;

  // Within each row: ascending ranks from 1 over the non-NaN cells, ties get the mean of their positions.
  WideMatrix rank() const;

  // The rows whose label satisfies `keep`, in their order; columns unchanged.
  WideMatrix filter_rows(const std::function<bool(const std::string&)>& keep) const;
  // Rows [first, last) by position, sharing this matrix's cells.
  WideMatrix slice_rows(std::size_t first, std::size_t last) const;

  std::optional<std::string> min_row_label() const;
  std::optional<std::string> max_row_label() const;

  // Rows in ascending label order; columns unchanged. Returns *this when already sorted.
  WideMatrix sort_index() const;

  // Bool: true where the cell has a value (always true for bool cells).
  WideMatrix notna() const;

  // The cell where `condition` is true, `other` elsewhere. REQUIRES: condition has identical labels.
  WideMatrix where(const WideMatrix& condition, double other = NaN) const;

  // float64: true → 1.0, false → 0.0. bool: 0.0 → false, anything else (NaN included) → true.
  WideMatrix astype(CellType type) const;

  // An independent matrix with equal labels and cells, owning its own cell storage.
  WideMatrix copy() const;

  // The matrix as float64 (bool cells become 1.0 / 0.0); *this when already float64.
  WideMatrix as_float() const { return astype(CellType::float64); }

 private:
  WideMatrix(CellType type, const void* cells, std::shared_ptr<const void> storage, Labels rows,
             Labels columns);

  CellType type_ = CellType::float64;
  const void* cells_ = nullptr;
  std::shared_ptr<const void> storage_;
  Labels rows_;
  Labels columns_;
};

// Bit-for-bit comparison of labels, cell types and cells (NaN equals NaN); for tests and store checks.
VELMORA_PREPARE_EXPORT bool identical(const WideMatrix& a, const WideMatrix& b);

}  // namespace velmora::backtest
