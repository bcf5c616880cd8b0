#include "date_keys.h"

#include <cstdio>

#include "velmora/errors.h"

namespace velmora::detail {

namespace {

bool all_digits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

std::int32_t digits_value(std::string_view text) {
  std::int32_t value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian calendar).
std::int32_t key_from_days(std::int64_t days) {
  days += 719468;
  std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  std::int64_t doe = days - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return static_cast<std::int32_t>(year * 10000 + month * 100 + day);
}

}  // namespace

std::optional<std::int32_t> date_key(std::string_view text) {
  if (text.size() == 8 && all_digits(text)) return digits_value(text);
  if (text.size() >= 10 && text[4] == '-' && text[7] == '-' && all_digits(text.substr(0, 4)) &&
      all_digits(text.substr(5, 2)) && all_digits(text.substr(8, 2)) &&
      (text.size() == 10 || text[10] == ' ' || text[10] == 'T')) {
    return digits_value(text.substr(0, 4)) * 10000 + digits_value(text.substr(5, 2)) * 100 +
           digits_value(text.substr(8, 2));
  }
  return std::nullopt;
}

std::optional<std::int32_t> cell_date_key(const Cell& cell) {
  if (const auto* text = std::get_if<std::string>(&cell)) return date_key(*text);
  if (const auto* when = std::get_if<DateTime>(&cell)) {
    constexpr std::int64_t MICROS_PER_DAY = 86'400'000'000;
    std::int64_t days = when->micros / MICROS_PER_DAY - (when->micros % MICROS_PER_DAY < 0 ? 1 : 0);
    return key_from_days(days);
  }
  if (const auto* number = std::get_if<std::int64_t>(&cell)) {
    if (*number >= 10000101 && *number <= 99991231) return static_cast<std::int32_t>(*number);
  }
  return std::nullopt;
}

std::optional<std::int32_t> bound_key(const std::optional<std::string>& bound) {
  if (!bound) return std::nullopt;
  std::optional<std::int32_t> key;
  if (bound->size() == 8 || bound->size() == 10) key = date_key(*bound);
  if (!key) throw ValueError("date bound is neither YYYY-MM-DD nor YYYYMMDD: " + *bound);
  return key;
}

std::string dashed(std::int32_t key) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", key / 10000, key / 100 % 100, key % 100);
  return text;
}

}  // namespace velmora::detail
