#pragma once

// A float64 series indexed by "YYYYMMDD" dates in ascending order, with a name: the daily returns of one
// benchmark index ("index_daily_return"). Immutable; copies share the dates and values.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "velmora/backtest/labels.h"
#include "velmora/backtest/ordered_map.h"
#include "velmora/backtest/prepare_export.h"

namespace velmora::backtest {

inline constexpr const char* BENCHMARK_SERIES_NAME = "index_daily_return";

class VELMORA_PREPARE_EXPORT DateSeries {
 public:
  DateSeries();
  // REQUIRES: dates.size() == values.size(); dates unique and ascending.
  DateSeries(Labels dates, std::vector<double> values, std::string name = BENCHMARK_SERIES_NAME);

  std::size_t size() const { return dates_.size(); }
  bool empty() const { return dates_.empty(); }
  const Labels& dates() const { return dates_; }
  const std::vector<double>& values() const { return *values_; }
  const std::string& name() const { return name_; }

  // The entries whose date lies in [start, end]; an absent bound is open.
  DateSeries between(const std::string* start, const std::string* end) const;

 private:
  Labels dates_;
  std::shared_ptr<const std::vector<double>> values_;
  std::string name_;
};

// Benchmark short name → daily-return series, in BENCHMARK_INDEX_CODES order.
using BenchmarkDict = OrderedMap<DateSeries>;

// Dates and values equal bit for bit (NaN equals NaN), names equal.
VELMORA_PREPARE_EXPORT bool identical(const DateSeries& a, const DateSeries& b);

}  // namespace velmora::backtest
