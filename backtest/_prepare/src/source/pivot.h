#pragma once

// The pivot of long rows into one WideMatrix: rows by date, columns by instrument key, the value of the
// last row (in table order) for each (date, key), NaN where no row exists. Rows whose date, key or value is
// missing (NaN counts as missing) take no part, so a later row without a value never erases an earlier one.
//
// The rows are given as codes: each row's date and key are codes into the column's distinct values, and
// the caller has read every distinct value once into a label (a "YYYYMMDD" date, a six-character key) or
// nothing. No per-row string work is done here and nothing is allocated per row; the scatter into the grid
// runs on several threads, each owning a band of matrix rows and visiting the input in table order, so the
// result does not depend on the number of threads.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest::source {

// Rows [begin, end) of the table.
struct RowRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

struct PivotInput {
  std::span<const std::int32_t> date_codes;  // per row; -1 for a missing date
  std::span<const std::int32_t> key_codes;   // per row; -1 for a missing key
  const double* values = nullptr;            // per row; NaN for a missing value
  // The label of each distinct date and key value; nothing where the value has no label (an unreadable
  // date). Several codes may share a label.
  const std::vector<std::optional<std::string>>* date_labels = nullptr;
  const std::vector<std::optional<std::string>>* key_labels = nullptr;
  // The rows that belong to this matrix, in table order. With `group_codes`, only the rows of these ranges
  // whose group code is marked in `in_group` take part.
  std::vector<RowRange> ranges;
  std::span<const std::int32_t> group_codes;
  const std::vector<std::uint8_t>* in_group = nullptr;
};

// Rows ascending by date label, columns ascending by key label.
WideMatrix pivot(const PivotInput& input);

}  // namespace velmora::backtest::source
