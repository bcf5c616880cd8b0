#include "source/distinct_values.h"

#include <cstdio>
#include <type_traits>

#include "velmora/backtest/dates.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest::source {

namespace {

constexpr std::int64_t MICROS_PER_DAY = 86'400'000'000;
constexpr std::int64_t MICROS_PER_SECOND = 1'000'000;

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// "YYYY-MM-DD HH:MM:SS[.ffffff]", as a pandas Timestamp prints.
std::string datetime_text(DateTime when) {
  std::int64_t days = floor_div(when.micros, MICROS_PER_DAY);
  std::int64_t micros_of_day = when.micros - days * MICROS_PER_DAY;
  std::string day = yyyymmdd_from_days(days);
  std::int64_t seconds = micros_of_day / MICROS_PER_SECOND;
  char text[64];
  std::snprintf(text, sizeof text, "%s-%s-%s %02lld:%02lld:%02lld", day.substr(0, 4).c_str(), day.substr(4, 2).c_str(),
                day.substr(6, 2).c_str(), static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  std::string out = text;
  if (std::int64_t fraction = micros_of_day % MICROS_PER_SECOND) {
    std::snprintf(text, sizeof text, ".%06lld", static_cast<long long>(fraction));
    out += text;
  }
  return out;
}

Value value_of(const Cell& cell) {
  return std::visit(
      [](const auto& value) -> Value {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, DateTime>) {
          return datetime_text(value);
        } else {
          return value;
        }
      },
      cell);
}

}  // namespace

std::vector<std::optional<std::string>> distinct_dates(const EncodedColumn& column) {
  std::vector<Value> values;
  values.reserve(column.distinct.size());
  for (const Cell& cell : column.distinct) {
    // A date-time is read by its calendar day directly; the placeholder is replaced below.
    values.push_back(std::holds_alternative<DateTime>(cell) ? Value() : value_of(cell));
  }
  TextSeries parsed = series_to_yyyymmdd(values);
  for (std::size_t i = 0; i < column.distinct.size(); ++i) {
    if (const auto* when = std::get_if<DateTime>(&column.distinct[i])) {
      parsed.values[i] = yyyymmdd_from_days(floor_div(when->micros, MICROS_PER_DAY));
    }
  }
  return std::move(parsed.values);
}

std::vector<std::string> distinct_texts(const EncodedColumn& column) {
  std::vector<std::string> texts;
  texts.reserve(column.distinct.size());
  for (const Cell& cell : column.distinct) {
    if (const auto* text = std::get_if<std::string>(&cell)) {
      texts.push_back(*text);
    } else {
      texts.push_back(value_text(value_of(cell)));
    }
  }
  return texts;
}

std::string first_characters(std::string_view text, std::size_t count) {
  std::size_t end = 0, seen = 0;
  while (end < text.size()) {
    // A code point starts at every byte that is not a continuation byte (10xxxxxx).
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80) {
      if (seen == count) break;
      ++seen;
    }
    ++end;
  }
  return std::string(text.substr(0, end));
}

}  // namespace velmora::backtest::source
