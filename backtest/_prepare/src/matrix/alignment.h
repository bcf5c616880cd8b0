#pragma once

// How the labels of two matrices line up for a binary operation: the result's label list and, for each
// result position, the position in the left and right operand (-1 where the operand lacks the label).

#include <cstddef>
#include <vector>

#include "velmora/backtest/labels.h"

namespace velmora::backtest {

struct AxisAlignment {
  Labels labels;
  // Empty when the operand's labels are the result's labels, position for position.
  std::vector<std::ptrdiff_t> left;
  std::vector<std::ptrdiff_t> right;
  bool left_identity = false;
  bool right_identity = false;
};

// Equal lists are kept; an empty list yields the other list; otherwise the ascending union.
AxisAlignment align_axis(const Labels& left, const Labels& right);

// For each label of `target`, its position in `source` or -1.
std::vector<std::ptrdiff_t> positions_in(const Labels& source, const Labels& target);

}  // namespace velmora::backtest
