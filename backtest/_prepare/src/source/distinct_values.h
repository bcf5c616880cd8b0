#pragma once

// Per-distinct-value readings of a query-table column: the date and text forms that the source readers
// need, computed once for each distinct value of the column rather than once per row. Each result has one
// entry per entry of `EncodedColumn::distinct`; a row's reading is found through its code.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/column.h"

namespace velmora::backtest::source {

// The "YYYYMMDD" date of every distinct value, as series_to_yyyymmdd reads it (date-times by their
// calendar day); nothing where the value is not a date.
std::vector<std::optional<std::string>> distinct_dates(const EncodedColumn& column);

// The text form of every distinct value, as Python's str() writes it.
std::vector<std::string> distinct_texts(const EncodedColumn& column);

// The first `count` characters (Unicode code points) of UTF-8 `text`; a shorter text whole.
std::string first_characters(std::string_view text, std::size_t count);

}  // namespace velmora::backtest::source
