#include "builder/update_basis.h"

#include <algorithm>
#include <cmath>

#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest::builder {

bool has_value(const WideMatrix& matrix) {
  const WideMatrix cells = matrix.as_float();
  const double* in = cells.float_cells();
  return std::any_of(in, in + cells.cell_count(), [](double x) { return !std::isnan(x); });
}

MatrixMap basis_of(const MatrixMap& source) {
  MatrixMap basis;
  for (const auto& name : BASIS_REQUIRED_NAMES)
    if (const WideMatrix* matrix = source.find(name)) basis.set(name, *matrix);
  // A placeholder holds no value, and a factor read with data always holds one.
  for (const auto& name : OPTIONAL_FACTOR_NAMES)
    if (const WideMatrix* matrix = source.find(name); matrix && has_value(*matrix)) basis.set(name, *matrix);
  return basis;
}

}  // namespace velmora::backtest::builder
