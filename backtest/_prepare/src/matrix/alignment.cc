#include "matrix/alignment.h"

#include <algorithm>
#include <string>

namespace velmora::backtest {

std::vector<std::ptrdiff_t> positions_in(const Labels& source, const Labels& target) {
  std::vector<std::ptrdiff_t> out(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    auto found = source.position(target[i]);
    out[i] = found ? static_cast<std::ptrdiff_t>(*found) : -1;
  }
  return out;
}

AxisAlignment align_axis(const Labels& left, const Labels& right) {
  AxisAlignment out;
  if (left == right) {
    out.labels = left;
    out.left_identity = out.right_identity = true;
    return out;
  }
  if (left.empty() || right.empty()) {
    const Labels& present = left.empty() ? right : left;
    out.labels = present;
    std::vector<std::ptrdiff_t> none(present.size(), -1);
    if (left.empty()) {
      out.left = std::move(none);
      out.right_identity = true;
    } else {
      out.right = std::move(none);
      out.left_identity = true;
    }
    return out;
  }
  std::vector<std::string> all;
  all.reserve(left.size() + right.size());
  all.insert(all.end(), left.begin(), left.end());
  all.insert(all.end(), right.begin(), right.end());
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  out.labels = Labels(std::move(all));
  out.left = positions_in(left, out.labels);
  out.right = positions_in(right, out.labels);
  return out;
}

}  // namespace velmora::backtest
