#include "velmora/backtest/dates.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <unordered_map>

namespace velmora::backtest {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads 1..max_len digits at text[pos]; advances pos.
bool read_number(std::string_view text, std::size_t& pos, std::size_t min_len, std::size_t max_len, int& out) {
  std::size_t start = pos;
  out = 0;
  while (pos < text.size() && pos - start < max_len && is_digit(text[pos])) out = out * 10 + (text[pos++] - '0');
  return pos - start >= min_len;
}

// A time of day after the date: H[H]:MM[:SS[.fraction]], then an optional zone (Z, ±HH[:]MM, ±HH).
bool valid_time_of_day(std::string_view text) {
  std::size_t pos = 0;
  int hour, minute, second = 0;
  if (!read_number(text, pos, 1, 2, hour) || pos >= text.size() || text[pos++] != ':') return false;
  if (!read_number(text, pos, 2, 2, minute)) return false;
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!read_number(text, pos, 2, 2, second)) return false;
    if (pos < text.size() && text[pos] == '.') {
      std::size_t start = ++pos;
      while (pos < text.size() && is_digit(text[pos])) ++pos;
      if (pos == start) return false;
    }
  }
  if (hour > 23 || minute > 59 || second > 59) return false;
  if (pos == text.size()) return true;
  if (text[pos] == 'Z') return pos + 1 == text.size();
  if (text[pos] != '+' && text[pos] != '-') return false;
  ++pos;
  int zone_hour, zone_minute = 0;
  if (!read_number(text, pos, 2, 2, zone_hour)) return false;
  if (pos < text.size() && text[pos] == ':') ++pos;
  if (pos < text.size() && !read_number(text, pos, 2, 2, zone_minute)) return false;
  return pos == text.size() && zone_hour <= 23 && zone_minute <= 59;
}

std::string format_date(int year, int month, int day) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", year, month, day);
  return buffer;
}

std::string_view trim_ascii(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool is_calendar_date(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  using namespace std::chrono;
  return year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                        std::chrono::day{static_cast<unsigned>(day)}}
      .ok();
}

std::optional<std::string> parse_date_text(std::string_view raw) {
  std::string_view text = trim_ascii(raw);
  std::size_t pos = 0;
  int year, month, day;
  if (text.size() >= 8 && is_digit(text[4])) {
    // YYYYMMDD
    if (!read_number(text, pos, 4, 4, year) || !read_number(text, pos, 2, 2, month) ||
        !read_number(text, pos, 2, 2, day))
      return std::nullopt;
  } else {
    if (!read_number(text, pos, 4, 4, year) || pos >= text.size()) return std::nullopt;
    char separator = text[pos++];
    if (separator != '-' && separator != '/') return std::nullopt;
    if (!read_number(text, pos, 1, 2, month) || pos >= text.size() || text[pos++] != separator) return std::nullopt;
    if (!read_number(text, pos, 1, 2, day)) return std::nullopt;
  }
  if (pos < text.size()) {
    if (text[pos] != ' ' && text[pos] != 'T') return std::nullopt;
    if (!valid_time_of_day(trim_ascii(text.substr(pos + 1)))) return std::nullopt;
  }
  if (!is_calendar_date(year, month, day)) return std::nullopt;
  return format_date(year, month, day);
}

std::string yyyymmdd_from_days(std::int64_t days_since_epoch) {
  using namespace std::chrono;
  year_month_day ymd{sys_days{days{days_since_epoch}}};
  return format_date(static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                     static_cast<int>(static_cast<unsigned>(ymd.day())));
}

std::int64_t days_from_yyyymmdd(std::string_view text) {
  using namespace std::chrono;
  auto number = [&](std::size_t at, std::size_t len) {
    int out = 0;
    for (std::size_t i = at; i < at + len; ++i) out = out * 10 + (text[i] - '0');
    return out;
  };
  year_month_day ymd{std::chrono::year{number(0, 4)}, std::chrono::month{static_cast<unsigned>(number(4, 2))},
                     std::chrono::day{static_cast<unsigned>(number(6, 2))}};
  return sys_days{ymd}.time_since_epoch().count();
}

namespace {

std::optional<std::string> value_to_yyyymmdd(const Value& value,
                                             std::unordered_map<std::string, std::optional<std::string>>& seen) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    auto found = seen.find(text);
    if (found != seen.end()) return found->second;
    auto parsed = parse_date_text(text);
    seen.emplace(text, parsed);
    return parsed;
  }
  if (value.is_number_integer()) {
    auto number = value.get<std::int64_t>();
    if (number < 10000101 || number > 99991231) return std::nullopt;
    return parse_date_text(std::to_string(number));
  }
  return std::nullopt;
}

}  // namespace

TextSeries series_to_yyyymmdd(const LabelledValues& values) {
  TextSeries out;
  out.labels = values.labels;
  out.values.reserve(values.values.size());
  std::unordered_map<std::string, std::optional<std::string>> seen;
  for (const Value& value : values.values) out.values.push_back(value_to_yyyymmdd(value, seen));
  return out;
}

TextSeries series_to_yyyymmdd(const std::vector<Value>& values) {
  LabelledValues labelled;
  labelled.values = values;
  labelled.labels.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) labelled.labels.emplace_back(i);
  return series_to_yyyymmdd(labelled);
}

std::string local_iso_timestamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  auto micros = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
  if (micros < 0) micros += 1000000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char buffer[48];
  std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
  std::string out(buffer, n);
  if (micros != 0) {
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(micros));
    out += fraction;
  }
  return out;
}

}  // namespace velmora::backtest
