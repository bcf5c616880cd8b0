#include "velmora/backtest/wide_matrix.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "matrix/alignment.h"
#include "matrix/cell_kernels.h"
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

using kernels::combine;
using kernels::for_each_row;
using kernels::map_cells;

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
  return combine(*this, other, [fill](double a, double b) { return kernels::sum_with_fill(a, b, fill); });
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
    else if (nc) std::memcpy(out + i * nc, in + static_cast<std::size_t>(from) * nc, nc * sizeof(double));
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
    for (std::size_t k = 0; k < order.size() && nc; ++k)
      std::memcpy(cells.get() + k * nc, m.float_cells() + order[k] * nc, nc * sizeof(double));
    return WideMatrix::from_cells(std::move(cells), Labels(std::move(labels)), m.column_labels());
  }
  auto cells = allocate_bool(order.size() * nc);
  for (std::size_t k = 0; k < order.size() && nc; ++k)
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
