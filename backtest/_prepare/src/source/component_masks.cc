// Index-membership masks: 1.0 where an instrument belongs to the index on a date, NaN where it does not.

#include <cmath>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/parallel.h"

namespace velmora::backtest {

namespace {

// A member is a finite value other than 0; 0, ±inf and missing values are not. One pass over the cells,
// equal cell for cell to replacing ±inf by NaN, blanking the cells equal to 0, and turning the cells that
// keep a value into 1.0 and the others into NaN.
WideMatrix membership_mask(const WideMatrix& factor) {
  const WideMatrix values = factor.as_float();
  const std::size_t cols = values.cols();
  auto cells = allocate_float(values.cell_count());
  const double* in = values.float_cells();
  double* out = cells.get();
  parallel_for(values.rows(), 1 + (1 << 16) / (cols + 1), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin * cols; i < end * cols; ++i) out[i] = std::isfinite(in[i]) && in[i] != 0.0 ? 1.0 : NaN;
  });
  return WideMatrix::from_cells(std::move(cells), values.row_labels(), values.column_labels());
}

}  // namespace

MatrixMap GroupPreparedDataBuilder::_component_matrices(const std::vector<std::string>& component_names,
                                                        const MatrixMap* batch,
                                                        OrderedMap<std::exception_ptr>* failures) const {
  MatrixMap result;
  for (const auto& name : component_names) {
    WideMatrix matrix;
    try {
      const WideMatrix* entry = batch ? batch->find(name) : nullptr;
      matrix = entry != nullptr && entry->has_data() ? *entry : _read_normal_factor_matrix(name);
    } catch (...) {
      // A component that cannot be read is left out; the build decides whether it can do without it, and
      // names this failure as the cause when it cannot.
      if (failures != nullptr) failures->set(name, std::current_exception());
      continue;
    }
    if (!matrix.has_data()) continue;
    result.set(name, membership_mask(matrix).sort_index());
  }
  return result;
}

}  // namespace velmora::backtest
