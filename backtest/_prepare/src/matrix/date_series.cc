#include "velmora/backtest/date_series.h"

#include <algorithm>
#include <cstring>

#include "velmora/errors.h"

namespace velmora::backtest {

DateSeries::DateSeries() : values_(std::make_shared<const std::vector<double>>()), name_(BENCHMARK_SERIES_NAME) {}

DateSeries::DateSeries(Labels dates, std::vector<double> values, std::string name)
    : dates_(std::move(dates)),
      values_(std::make_shared<const std::vector<double>>(std::move(values))),
      name_(std::move(name)) {
  if (dates_.size() != values_->size()) throw ValueError("a date series needs one value per date");
}

DateSeries DateSeries::between(const std::string* start, const std::string* end) const {
  const auto& names = dates_.names();
  auto first = start ? std::lower_bound(names.begin(), names.end(), *start) : names.begin();
  auto last = end ? std::upper_bound(names.begin(), names.end(), *end) : names.end();
  if (last < first) last = first;
  if (first == names.begin() && last == names.end()) return *this;
  auto offset = first - names.begin(), count = last - first;
  std::vector<double> values(values_->begin() + offset, values_->begin() + offset + count);
  return DateSeries(Labels(std::vector<std::string>(first, last)), std::move(values), name_);
}

bool identical(const DateSeries& a, const DateSeries& b) {
  return a.name() == b.name() && a.dates() == b.dates() &&
         (a.empty() || std::memcmp(a.values().data(), b.values().data(), a.size() * sizeof(double)) == 0);
}

}  // namespace velmora::backtest
