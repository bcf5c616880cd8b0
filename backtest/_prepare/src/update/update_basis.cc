#include "update/update_basis.h"

#include "update/row_join.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest::update {

MatrixMap basis_of(const MatrixMap& source) {
  MatrixMap basis;
  for (const auto& name : BASIS_REQUIRED_NAMES)
    if (const WideMatrix* matrix = source.find(name)) basis.set(name, *matrix);
  // A placeholder holds no value, and a factor read with data always holds one.
  for (const auto& name : OPTIONAL_FACTOR_NAMES)
    if (const WideMatrix* matrix = source.find(name); matrix && has_value(*matrix)) basis.set(name, *matrix);
  return basis;
}

}  // namespace velmora::backtest::update
