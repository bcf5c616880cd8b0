#pragma once

#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest {

// The cross-sectional rank of the forward open-to-open return: row t ranks open[t+2] / open[t+1] - 1 across
// instruments, with ±infinity treated as no value. One pass that computes each row's returns into a scratch
// row and ranks them, instead of materialising two shifted matrices, their quotient and its cleaned copy.
WideMatrix forward_return_rank(const WideMatrix& open_price);

}  // namespace velmora::backtest
