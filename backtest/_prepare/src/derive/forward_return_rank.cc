#include "derive/forward_return_rank.h"

#include <algorithm>
#include <cmath>

#include "matrix/row_rank.h"

#include "velmora/backtest/parallel.h"

namespace velmora::backtest {

WideMatrix forward_return_rank(const WideMatrix& open_price) {
  const WideMatrix open = open_price.as_float();
  const std::size_t rows = open.rows(), cols = open.cols();
  auto cells = allocate_float(rows * cols);
  const double* in = open.float_cells();
  double* out = cells.get();
  parallel_for(rows, 1, [&](std::size_t begin, std::size_t end) {
    RowRanker ranker;
    for (std::size_t t = begin; t < end; ++t) {
      double* orow = out + t * cols;
      std::fill_n(orow, cols, NaN);
      if (t + 2 >= rows) continue;  // open[t+2] does not exist: the whole row is NaN
      const double* next = in + (t + 1) * cols;
      const double* after = in + (t + 2) * cols;
      ranker.clear();
      for (std::size_t j = 0; j < cols; ++j) {
        double r = after[j] / next[j] - 1.0;
        if (!std::isnan(r) && !std::isinf(r)) ranker.add(r, static_cast<std::uint32_t>(j));
      }
      ranker.write_ranks(orow);
    }
  });
  return WideMatrix::from_cells(std::move(cells), open.row_labels(), open.column_labels());
}

}  // namespace velmora::backtest
