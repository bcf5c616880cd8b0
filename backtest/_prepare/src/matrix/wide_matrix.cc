#include "velmora/backtest/wide_matrix.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <type_traits>

#include "matrix/alignment.h"
#include "matrix/row_rank.h"
#include "velmora/backtest/cells.h"
#include "velmora/backtest/parallel.h"
#include "velmora/errors.h"

namespace velmora::backtest {

WideMatrix::WideMatrix() = default;

WideMatrix::WideMatrix(CellType type, const void* cells, std::shared_ptr<const void> storage, Labels rows,
                       Labels columns)
    : type_(type), cells_(cells), storage_(std::move(storage)), rows_(std::move(rows)),
      columns_(std::move(columns)) {}

WideMatrix WideMatrix::from_grid(std::vector<double> cells, Labels rows, Labels columns) {
  if (cells.size() != rows.size() * columns.size())
    throw ValueError("cell grid size does not match the labels");
  auto owner = std::make_shared<const std::vector<double>>(std::move(cells));
  const void* data = owner->data();
  return WideMatrix(CellType::float64, data, std::move(owner), std::move(rows), std::move(columns));
}

WideMatrix WideMatrix::from_bool_grid(std::vector<std::uint8_t> cells, Labels rows, Labels columns) {
  if (cells.size() != rows.size() * columns.size())
    throw ValueError("cell grid size does not match the labels");
  for (auto& cell : cells) cell = cell ? 1 : 0;
  auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(cells));
  const void* data = owner->data();
  return WideMatrix(CellType::boolean, data, std::move(owner), std::move(rows), std::move(columns));
}

WideMatrix WideMatrix::view(CellType type, const void* cells, std::shared_ptr<const void> owner, Labels rows,
                            Labels columns) {
  return WideMatrix(type, cells, std::move(owner), std::move(rows), std::move(columns));
}

WideMatrix WideMatrix::from_cells(FloatCells cells, Labels rows, Labels columns) {
  const void* data = cells.get();
  return WideMatrix(CellType::float64, data, std::shared_ptr<const void>(std::move(cells)), std::move(rows),
                    std::move(columns));
}

WideMatrix WideMatrix::from_cells(BoolCells cells, Labels rows, Labels columns) {
  const void* data = cells.get();
  return WideMatrix(CellType::boolean, data, std::shared_ptr<const void>(std::move(cells)), std::move(rows),
                    std::move(columns));
}

WideMatrix WideMatrix::constant_like(const WideMatrix& reference, double fill) {
  auto cells = allocate_float(reference.cell_count());
  std::fill_n(cells.get(), reference.cell_count(), fill);
  return from_cells(std::move(cells), reference.rows_, reference.columns_);
}

double WideMatrix::value(std::size_t row, std::size_t col) const {
  std::size_t i = row * cols() + col;
  return type_ == CellType::float64 ? float_cells()[i] : static_cast<double>(bool_cells()[i]);
}

// ---------------------------------------------------------------------------------------------------------
// Cell-wise kernels. Rows are split across threads; each thread writes only its own rows.

namespace {

constexpr std::size_t MIN_CELLS_PER_THREAD = 1 << 16;

std::size_t min_rows_per_thread(std::size_t cols) {
  return std::max<std::size_t>(1, MIN_CELLS_PER_THREAD / std::max<std::size_t>(1, cols));
}

template <typename F>
void for_each_row(std::size_t rows, std::size_t cols, F&& body) {
  parallel_for(rows, min_rows_per_thread(cols), [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) body(r);
  });
}

// Applies f to every cell (bool cells as 1.0 / 0.0); the result holds float64 cells, or bool cells when
// f answers bool.
template <typename F>
WideMatrix map_cells(const WideMatrix& m, F&& f) {
  const WideMatrix source = m.as_float();
  const std::size_t n = source.cell_count(), cols = source.cols();
  const double* in = source.float_cells();
  auto run = [&](auto cells) {
    auto* out = cells.get();
    for_each_row(source.rows(), cols, [&](std::size_t r) {
      for (std::size_t j = r * cols, end = j + cols; j < end; ++j) out[j] = f(in[j]);
    });
    return WideMatrix::from_cells(std::move(cells), source.row_labels(), source.column_labels());
  };
  if constexpr (std::is_same_v<std::invoke_result_t<F&, double>, bool>) return run(allocate_bool(n));
  else return run(allocate_float(n));
}

// Applies f(left, right) over the union labels; a cell an operand lacks enters as NaN.
template <typename F>
WideMatrix combine(const WideMatrix& left_in, const WideMatrix& right_in, F&& f) {
  const WideMatrix left = left_in.as_float(), right = right_in.as_float();
  AxisAlignment rows = align_axis(left.row_labels(), right.row_labels());
  AxisAlignment cols = align_axis(left.column_labels(), right.column_labels());
  const std::size_t nr = rows.labels.size(), nc = cols.labels.size();
  auto cells = allocate_float(nr * nc);
  double* out = cells.get();
  const double* l = left.float_cells();
  const double* r = right.float_cells();
  const std::size_t lc = left.cols(), rc = right.cols();

  auto left_row = [&](std::size_t i) {
    return rows.left_identity ? static_cast<std::ptrdiff_t>(i) : rows.left[i];
  };
  auto right_row = [&](std::size_t i) {
    return rows.right_identity ? static_cast<std::ptrdiff_t>(i) : rows.right[i];
  };

  if (rows.left_identity && rows.right_identity && cols.left_identity && cols.right_identity) {
    for_each_row(nr, nc, [&](std::size_t i) {
      for (std::size_t j = i * nc, end = j + nc; j < end; ++j) out[j] = f(l[j], r[j]);
    });
  } else {
    for_each_row(nr, nc, [&](std::size_t i) {
      std::ptrdiff_t li = left_row(i), ri = right_row(i);
      const double* lrow = li < 0 ? nullptr : l + static_cast<std::size_t>(li) * lc;
      const double* rrow = ri < 0 ? nullptr : r + static_cast<std::size_t>(ri) * rc;
      double* orow = out + i * nc;
      for (std::size_t j = 0; j < nc; ++j) {
        double a = NaN, b = NaN;
        if (lrow) {
          std::ptrdiff_t p = cols.left_identity ? static_cast<std::ptrdiff_t>(j) : cols.left[j];
          if (p >= 0) a = lrow[p];
        }
        if (rrow) {
          std::ptrdiff_t p = cols.right_identity ? static_cast<std::ptrdiff_t>(j) : cols.right[j];
          if (p >= 0) b = rrow[p];
        }
        orow[j] = f(a, b);
      }
    });
  }
  return WideMatrix::from_cells(std::move(cells), std::move(rows.labels), std::move(cols.labels));
}

}  // namespace

WideMatrix WideMatrix::operator+(double x) const { return map_cells(*this, [x](double v) { return v + x; }); }
WideMatrix WideMatrix::operator-(double x) const { return map_cells(*this, [x](double v) { return v - x; }); }
WideMatrix WideMatrix::operator*(double x) const { return map_cells(*this, [x](double v) { return v * x; }); }
WideMatrix WideMatrix::operator/(double x) const { return map_cells(*this, [x](double v) { return v / x; }); }

WideMatrix WideMatrix::operator+(const WideMatrix& o) const {
  return combine(*this, o, [](double a, double b) { return a + b; });
}
WideMatrix WideMatrix::operator-(const WideMatrix& o) const {
  return combine(*this, o, [](double a, double b) { return a - b; });
}
WideMatrix WideMatrix::operator*(const WideMatrix& o) const {
  return combine(*this, o, [](double a, double b) { return a * b; });
}
WideMatrix WideMatrix::operator/(const WideMatrix& o) const {
  return combine(*this, o, [](double a, double b) { return a / b; });
}

WideMatrix WideMatrix::add(const WideMatrix& other, double fill) const {
  return combine(*this, other, [fill](double a, double b) {
    bool a_missing = std::isnan(a), b_missing = std::isnan(b);
    if (a_missing && b_missing) return NaN;
    return (a_missing ? fill : a) + (b_missing ? fill : b);
  });
}

WideMatrix WideMatrix::eq(double x) const { return map_cells(*this, [x](double v) { return v == x; }); }
WideMatrix WideMatrix::ne(double x) const { return map_cells(*this, [x](double v) { return v != x; }); }
WideMatrix WideMatrix::lt(double x) const { return map_cells(*this, [x](double v) { return v < x; }); }
WideMatrix WideMatrix::le(double x) const { return map_cells(*this, [x](double v) { return v <= x; }); }
WideMatrix WideMatrix::gt(double x) const { return map_cells(*this, [x](double v) { return v > x; }); }
WideMatrix WideMatrix::ge(double x) const { return map_cells(*this, [x](double v) { return v >= x; }); }

WideMatrix WideMatrix::equals(const WideMatrix& other_in) const {
  if (!(rows_ == other_in.rows_) || !(columns_ == other_in.columns_))
    throw ValueError("matrices compared cell by cell must have identical labels");
  const WideMatrix left = as_float(), right = other_in.as_float();
  const std::size_t n = cell_count(), nc = cols();
  auto cells = allocate_bool(n);
  const double* l = left.float_cells();
  const double* r = right.float_cells();
  std::uint8_t* out = cells.get();
  for_each_row(rows(), nc, [&](std::size_t i) {
    for (std::size_t j = i * nc, end = j + nc; j < end; ++j) out[j] = l[j] == r[j];
  });
  return from_cells(std::move(cells), rows_, columns_);
}

WideMatrix WideMatrix::reindex(const Labels& new_rows, const Labels& new_columns) const {
  const WideMatrix source = as_float();
  if (new_rows == rows_ && new_columns == columns_) {
    return WideMatrix(CellType::float64, source.cells_, source.storage_, new_rows, new_columns);
  }
  auto row_map = positions_in(rows_, new_rows);
  auto col_map = positions_in(columns_, new_columns);
  const std::size_t nr = new_rows.size(), nc = new_columns.size(), sc = cols();
  auto cells = allocate_float(nr * nc);
  const double* in = source.float_cells();
  double* out = cells.get();
  for_each_row(nr, nc, [&](std::size_t i) {
    double* orow = out + i * nc;
    if (row_map[i] < 0) {
      std::fill_n(orow, nc, NaN);
      return;
    }
    const double* irow = in + static_cast<std::size_t>(row_map[i]) * sc;
    for (std::size_t j = 0; j < nc; ++j) orow[j] = col_map[j] < 0 ? NaN : irow[col_map[j]];
  });
  return from_cells(std::move(cells), new_rows, new_columns);
}

WideMatrix WideMatrix::shift(std::ptrdiff_t n) const {
  const WideMatrix source = as_float();
  const std::size_t nr = rows(), nc = cols();
  auto cells = allocate_float(nr * nc);
  const double* in = source.float_cells();
  double* out = cells.get();
  const auto signed_rows = static_cast<std::ptrdiff_t>(nr);
  for_each_row(nr, nc, [&](std::size_t i) {
    std::ptrdiff_t from = static_cast<std::ptrdiff_t>(i) - n;
    if (from < 0 || from >= signed_rows) std::fill_n(out + i * nc, nc, NaN);
    else std::memcpy(out + i * nc, in + static_cast<std::size_t>(from) * nc, nc * sizeof(double));
  });
  return from_cells(std::move(cells), rows_, columns_);
}

WideMatrix WideMatrix::replace(std::span<const double> values, double replacement) const {
  std::vector<double> targets(values.begin(), values.end());
  bool replace_nan = std::any_of(targets.begin(), targets.end(), [](double v) { return std::isnan(v); });
  return map_cells(*this, [&](double v) {
    if (std::isnan(v)) return replace_nan ? replacement : v;
    for (double t : targets)
      if (v == t) return replacement;
    return v;
  });
}

WideMatrix WideMatrix::rank() const {
  const WideMatrix source = as_float();
  const std::size_t nr = rows(), nc = cols();
  auto cells = allocate_float(nr * nc);
  const double* in = source.float_cells();
  double* out = cells.get();
  parallel_for(nr, 1, [&](std::size_t begin, std::size_t end) {
    RowRanker ranker;
    for (std::size_t i = begin; i < end; ++i) {
      const double* irow = in + i * nc;
      double* orow = out + i * nc;
      ranker.clear();
      for (std::size_t j = 0; j < nc; ++j) {
        orow[j] = NaN;
        if (!std::isnan(irow[j])) ranker.add(irow[j], static_cast<std::uint32_t>(j));
      }
      ranker.write_ranks(orow);
    }
  });
  return from_cells(std::move(cells), rows_, columns_);
}

WideMatrix WideMatrix::slice_rows(std::size_t first, std::size_t last) const {
  last = std::min(last, rows());
  first = std::min(first, last);
  std::vector<std::string> labels(rows_.begin() + static_cast<std::ptrdiff_t>(first),
                                  rows_.begin() + static_cast<std::ptrdiff_t>(last));
  std::size_t width = type_ == CellType::float64 ? sizeof(double) : 1;
  const void* start = cells_ ? static_cast<const char*>(cells_) + first * cols() * width : nullptr;
  return WideMatrix(type_, start, storage_, Labels(std::move(labels)), columns_);
}

namespace {
// The rows at `order` (positions into m), as a new matrix of the same cell type.
WideMatrix gather_rows(const WideMatrix& m, const std::vector<std::size_t>& order) {
  std::vector<std::string> labels;
  labels.reserve(order.size());
  for (std::size_t i : order) labels.push_back(m.row_labels()[i]);
  const std::size_t nc = m.cols();
  if (m.cell_type() == CellType::float64) {
    auto cells = allocate_float(order.size() * nc);
    for (std::size_t k = 0; k < order.size(); ++k)
      std::memcpy(cells.get() + k * nc, m.float_cells() + order[k] * nc, nc * sizeof(double));
    return WideMatrix::from_cells(std::move(cells), Labels(std::move(labels)), m.column_labels());
  }
  auto cells = allocate_bool(order.size() * nc);
  for (std::size_t k = 0; k < order.size(); ++k)
    std::memcpy(cells.get() + k * nc, m.bool_cells() + order[k] * nc, nc);
  return WideMatrix::from_cells(std::move(cells), Labels(std::move(labels)), m.column_labels());
}
}  // namespace

WideMatrix WideMatrix::filter_rows(const std::function<bool(const std::string&)>& keep) const {
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < rows(); ++i)
    if (keep(rows_[i])) kept.push_back(i);
  if (kept.size() == rows()) return *this;
  return gather_rows(*this, kept);
}

std::optional<std::string> WideMatrix::min_row_label() const {
  if (rows_.empty()) return std::nullopt;
  return *std::min_element(rows_.begin(), rows_.end());
}

std::optional<std::string> WideMatrix::max_row_label() const {
  if (rows_.empty()) return std::nullopt;
  return *std::max_element(rows_.begin(), rows_.end());
}

WideMatrix WideMatrix::sort_index() const {
  if (rows_.is_sorted()) return *this;
  std::vector<std::size_t> order(rows());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [this](std::size_t a, std::size_t b) { return rows_[a] < rows_[b]; });
  return gather_rows(*this, order);
}

WideMatrix WideMatrix::notna() const {
  if (type_ == CellType::boolean) {
    auto cells = allocate_bool(cell_count());
    std::fill_n(cells.get(), cell_count(), std::uint8_t{1});
    return from_cells(std::move(cells), rows_, columns_);
  }
  return map_cells(*this, [](double v) { return !std::isnan(v); });
}

WideMatrix WideMatrix::where(const WideMatrix& condition, double other) const {
  if (!(rows_ == condition.rows_) || !(columns_ == condition.columns_))
    throw ValueError("the condition of where() must have the matrix's labels");
  const WideMatrix source = as_float();
  const WideMatrix mask = condition.astype(CellType::boolean);
  const std::size_t nc = cols();
  auto cells = allocate_float(cell_count());
  const double* in = source.float_cells();
  const std::uint8_t* keep = mask.bool_cells();
  double* out = cells.get();
  for_each_row(rows(), nc, [&](std::size_t i) {
    for (std::size_t j = i * nc, end = j + nc; j < end; ++j) out[j] = keep[j] ? in[j] : other;
  });
  return from_cells(std::move(cells), rows_, columns_);
}

WideMatrix WideMatrix::astype(CellType type) const {
  if (type == type_) return *this;
  const std::size_t n = cell_count(), nc = cols();
  if (type == CellType::float64) {
    auto cells = allocate_float(n);
    const std::uint8_t* in = bool_cells();
    double* out = cells.get();
    for_each_row(rows(), nc, [&](std::size_t i) {
      for (std::size_t j = i * nc, end = j + nc; j < end; ++j) out[j] = in[j] ? 1.0 : 0.0;
    });
    return from_cells(std::move(cells), rows_, columns_);
  }
  return map_cells(*this, [](double v) { return v != 0.0; });
}

WideMatrix WideMatrix::copy() const {
  const std::size_t n = cell_count();
  if (type_ == CellType::float64) {
    auto cells = allocate_float(n);
    if (n) std::memcpy(cells.get(), float_cells(), n * sizeof(double));
    return from_cells(std::move(cells), Labels(rows_.names()), Labels(columns_.names()));
  }
  auto cells = allocate_bool(n);
  if (n) std::memcpy(cells.get(), bool_cells(), n);
  return from_cells(std::move(cells), Labels(rows_.names()), Labels(columns_.names()));
}

bool identical(const WideMatrix& a, const WideMatrix& b) {
  if (a.cell_type() != b.cell_type() || !(a.row_labels() == b.row_labels()) ||
      !(a.column_labels() == b.column_labels()))
    return false;
  const std::size_t n = a.cell_count();
  if (n == 0) return true;
  std::size_t width = a.cell_type() == CellType::float64 ? sizeof(double) : 1;
  return std::memcmp(a.cell_type() == CellType::float64 ? static_cast<const void*>(a.float_cells())
                                                        : static_cast<const void*>(a.bool_cells()),
                     b.cell_type() == CellType::float64 ? static_cast<const void*>(b.float_cells())
                                                        : static_cast<const void*>(b.bool_cells()),
                     n * width) == 0;
}

}  // namespace velmora::backtest
