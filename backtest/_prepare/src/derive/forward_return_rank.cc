#include "derive/forward_return_rank.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "velmora/backtest/parallel.h"

namespace velmora::backtest {

WideMatrix forward_return_rank(const WideMatrix& open_price) {
  const WideMatrix open = open_price.as_float();
  const std::size_t rows = open.rows(), cols = open.cols();
  auto cells = allocate_float(rows * cols);
  const double* in = open.float_cells();
  double* out = cells.get();
  parallel_for(rows, 1, [&](std::size_t begin, std::size_t end) {
    std::vector<std::pair<double, std::uint32_t>> order;
    order.reserve(cols);
    for (std::size_t t = begin; t < end; ++t) {
      double* orow = out + t * cols;
      std::fill_n(orow, cols, NaN);
      if (t + 2 >= rows) continue;  // open[t+2] does not exist: the whole row is NaN
      const double* next = in + (t + 1) * cols;
      const double* after = in + (t + 2) * cols;
      order.clear();
      for (std::size_t j = 0; j < cols; ++j) {
        double r = after[j] / next[j] - 1.0;
        if (!std::isnan(r) && !std::isinf(r)) order.emplace_back(r, static_cast<std::uint32_t>(j));
      }
      std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (std::size_t k = 0; k < order.size();) {
        std::size_t m = k + 1;
        while (m < order.size() && order[m].first == order[k].first) ++m;
        double mean_rank = (static_cast<double>(k + 1) + static_cast<double>(m)) / 2.0;
        for (std::size_t p = k; p < m; ++p) orow[order[p].second] = mean_rank;
        k = m;
      }
    }
  });
  return WideMatrix::from_cells(std::move(cells), open.row_labels(), open.column_labels());
}

}  // namespace velmora::backtest
