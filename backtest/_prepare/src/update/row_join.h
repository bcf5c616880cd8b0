#pragma once

// Row-wise joining of matrices read over adjoining date ranges, as one read over the whole range gives
// them: the rows of both parts in order, the ascending union of their instruments, NaN where a part lacks
// an instrument. And the reverse: the rows of a stored matrix before a date, with the instruments that
// still have a value there.

#include <string>

#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest::update {

// `earlier` above `later`, over the ascending union of their column labels (the shared list when equal).
// A part without rows adds no columns, as a read that returned no rows would not. The empty placeholder
// when neither part has rows. REQUIRES: float64 cells; every row label of `earlier` before every row label
// of `later`; column labels ascending.
WideMatrix join_rows(const WideMatrix& earlier, const WideMatrix& later);

// The columns of join_rows(earlier, later), without joining.
Labels joined_columns(const WideMatrix& earlier, const WideMatrix& later);

// `earlier` above `later` over exactly `columns`: NaN where a part lacks a column, a part's columns outside
// `columns` left out. Keeps every row of both parts, even over no column, so that the union of row labels
// that a derivation takes is the same as over all columns. REQUIRES: every row label of `earlier` before
// every row label of `later`; `columns` ascending.
WideMatrix join_over(const WideMatrix& earlier, const WideMatrix& later, const Labels& columns);

// The rows of `matrix` whose label is `date` or after, sharing its cells. REQUIRES: ascending row labels.
WideMatrix rows_from(const WideMatrix& matrix, const std::string& date);

// The rows of `matrix` whose label is before `date`. With `drop_empty_columns`, only the columns that
// hold a value (not NaN) in those rows stay, as in a fresh read of that range; the empty placeholder when
// no row stays. REQUIRES: float64 cells, ascending row labels.
WideMatrix rows_before(const WideMatrix& matrix, const std::string& date, bool drop_empty_columns);

}  // namespace velmora::backtest::update
