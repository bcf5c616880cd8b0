#pragma once

// Date range handling shared by the factor services: a date as the integer yyyymmdd, which orders as the
// calendar does, read from the forms the services meet.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/column.h"

namespace velmora::detail {

// yyyymmdd of a text that starts with "YYYY-MM-DD" or "YYYYMMDD" (a time of day may follow the dashed
// form after a space or "T"); nothing otherwise. The day is not checked against the calendar.
std::optional<std::int32_t> date_key(std::string_view text);
// yyyymmdd of a text, date-time or eight-digit integer cell; nothing for anything else.
std::optional<std::int32_t> cell_date_key(const Cell& cell);

// A query bound as yyyymmdd; nothing for an absent bound. Throws ValueError naming the bound when it is in
// neither "YYYY-MM-DD" nor "YYYYMMDD" form.
std::optional<std::int32_t> bound_key(const std::optional<std::string>& bound);
// yyyymmdd → "YYYY-MM-DD".
std::string dashed(std::int32_t key);

}  // namespace velmora::detail
