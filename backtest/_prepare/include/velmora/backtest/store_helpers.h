#pragma once

// The store module's helpers that the builder and the store share.

#include <optional>
#include <string>
#include <string_view>

#include "velmora/backtest/prepare_export.h"
#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest {

// The canonical "YYYYMMDD" text of a date given as "YYYYMMDD", "YYYY-MM-DD" or "YYYY/MM/DD" (optionally
// with a time of day); nothing for nothing. Throws ValueError naming the input for any other text and for a
// day that is not on the calendar (20240230).
VELMORA_PREPARE_EXPORT std::optional<std::string> normalize_yyyymmdd(std::optional<std::string_view> value);

// The dataset key under which a component factor's mask is stored: "component__" followed by the name, with
// "%", "/", "\\", control characters and non-ASCII bytes written as %XX. Injective, readable, usable as a
// file name, and never equal to a base dataset key or "benchmark_dict".
VELMORA_PREPARE_EXPORT std::string component_dataset_key(std::string_view component_name);

// The matrix a freshly pivoted factor matrix is kept as. Returns it unchanged: pivoting already yields
// unique, ascending labels and float64 cells.
VELMORA_PREPARE_EXPORT WideMatrix clean_matrix(const WideMatrix& matrix);

}  // namespace velmora::backtest
