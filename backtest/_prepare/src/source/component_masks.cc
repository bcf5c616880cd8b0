// Index-membership masks: 1.0 where an instrument belongs to the index on a date, NaN where it does not.

#include <limits>

#include "velmora/backtest/builder.h"

namespace velmora::backtest {

MatrixMap GroupPreparedDataBuilder::_component_matrices(const std::vector<std::string>& component_names,
                                                        const MatrixMap* batch) const {
  static constexpr double INFINITIES[] = {std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity()};
  static constexpr double ZERO[] = {0.0};
  MatrixMap result;
  for (const auto& name : component_names) {
    WideMatrix matrix;
    try {
      const WideMatrix* entry = batch ? batch->find(name) : nullptr;
      matrix = entry != nullptr && entry->has_data() ? *entry : _read_normal_factor_matrix(name);
    } catch (...) {
      // A component that cannot be read is left out; the build decides whether it can do without it.
      continue;
    }
    if (!matrix.has_data()) continue;
    // A member is a finite value other than 0; 0, ±inf and missing values are not. The test for 0 is made
    // on the values as read (NaN is unequal to 0 and stays NaN).
    WideMatrix values = matrix.replace(INFINITIES, NaN).where(matrix.ne(0.0));
    WideMatrix mask = values.notna().astype(CellType::float64).replace(ZERO, NaN);
    result.set(name, mask.sort_index());
  }
  return result;
}

}  // namespace velmora::backtest
