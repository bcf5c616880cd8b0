#pragma once

// Reading dates in the forms the factor service and users write them. Canonical form: "YYYYMMDD".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/backtest/prepare_export.h"
#include "velmora/value.h"

namespace velmora::backtest {

// The "YYYYMMDD" text of a date written as "YYYYMMDD", "YYYY-MM-DD" or "YYYY/MM/DD", each optionally
// followed by a time of day (after a space or "T"; seconds, fractions and a zone are accepted and dropped).
// Nothing when the text is in no such form or names a day that is not on the calendar.
VELMORA_PREPARE_EXPORT std::optional<std::string> parse_date_text(std::string_view text);

// Whole days since 1970-01-01 → "YYYYMMDD".
VELMORA_PREPARE_EXPORT std::string yyyymmdd_from_days(std::int64_t days_since_epoch);
// "YYYYMMDD" (a valid calendar date) → whole days since 1970-01-01.
VELMORA_PREPARE_EXPORT std::int64_t days_from_yyyymmdd(std::string_view yyyymmdd);
// True for a year, month and day that exist on the (proleptic Gregorian) calendar.
VELMORA_PREPARE_EXPORT bool is_calendar_date(int year, int month, int day);

// A series of optional texts with labels: the result of series_to_yyyymmdd.
struct TextSeries {
  std::vector<Value> labels;
  std::vector<std::optional<std::string>> values;
};

// A labelled series of date-like values, as given to series_to_yyyymmdd.
struct LabelledValues {
  std::vector<Value> labels;
  std::vector<Value> values;
};

// "YYYYMMDD" for every value that reads as a date (a date text as parse_date_text accepts, or an eight-digit
// integer such as 20240102); missing for everything else. A plain sequence is labelled 0, 1, 2, …; a labelled
// series keeps its labels. Each distinct text is parsed once.
VELMORA_PREPARE_EXPORT TextSeries series_to_yyyymmdd(const std::vector<Value>& values);
VELMORA_PREPARE_EXPORT TextSeries series_to_yyyymmdd(const LabelledValues& values);

// The local wall-clock time as ISO 8601 without zone: "YYYY-MM-DDTHH:MM:SS", then "." and six digits of
// microseconds unless they are zero.
VELMORA_PREPARE_EXPORT std::string local_iso_timestamp();

}  // namespace velmora::backtest
