#pragma once

// Payloads built by hand for the store tests, and comparisons of what a store gives back.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/backtest/dates.h"
#include "velmora/backtest/payload.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/backtest/wide_matrix.h"
#include "velmora/pickle.h"

namespace velmora::testing {

using backtest::BenchmarkDict;
using backtest::CellType;
using backtest::DateSeries;
using backtest::Labels;
using backtest::Payload;
using backtest::WideMatrix;

// `count` consecutive weekdays from 2015-01-05 on, as "YYYYMMDD" labels.
inline std::vector<std::string> trading_dates(std::size_t count) {
  std::vector<std::string> dates;
  for (std::int64_t day = backtest::days_from_yyyymmdd("20150105"); dates.size() < count; ++day) {
    if ((day + 3) % 7 >= 5) continue;  // 1970-01-01 was a Thursday: (day + 3) % 7 is 0 on Mondays
    dates.push_back(backtest::yyyymmdd_from_days(day));
  }
  return dates;
}

inline std::vector<std::string> instruments(std::size_t count) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < count; ++i) keys.push_back(std::to_string(600000 + i * 7));
  return keys;
}

// Float cells that differ per matrix and `variant`, with NaN, ±inf and -0.0 sprinkled in.
inline WideMatrix float_matrix(const Labels& rows, const Labels& cols, int seed) {
  std::vector<double> cells(rows.size() * cols.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    std::size_t k = i * 31 + static_cast<std::size_t>(seed) * 17;
    if (k % 11 == 0) cells[i] = std::numeric_limits<double>::quiet_NaN();
    else if (k % 29 == 0) cells[i] = std::numeric_limits<double>::infinity() * (k % 2 ? 1 : -1);
    else if (k % 37 == 0) cells[i] = -0.0;
    else cells[i] = static_cast<double>(k % 1000) / 7.0 - 50.0;
  }
  return WideMatrix::from_grid(std::move(cells), rows, cols);
}

inline WideMatrix bool_matrix(const Labels& rows, const Labels& cols, int seed) {
  std::vector<std::uint8_t> cells(rows.size() * cols.size());
  for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = (i * 13 + static_cast<std::size_t>(seed)) % 3 == 0;
  return WideMatrix::from_bool_grid(std::move(cells), rows, cols);
}

// A membership mask: 1.0 for members, NaN otherwise.
inline WideMatrix mask_matrix(const Labels& rows, const Labels& cols, int seed) {
  std::vector<double> cells(rows.size() * cols.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    cells[i] = (i + static_cast<std::size_t>(seed)) % 4 == 0 ? std::numeric_limits<double>::quiet_NaN() : 1.0;
  }
  return WideMatrix::from_grid(std::move(cells), rows, cols);
}

// A payload laid out as a build makes one: the twelve base matrices (the two permission matrices bool), one
// mask per component name under its dataset key, and three benchmark series.
inline Payload sample_payload(std::size_t dates, std::size_t columns, int variant,
                              const std::vector<std::string>& component_names) {
  Labels rows(trading_dates(dates));
  Labels cols(instruments(columns));
  Payload payload;
  payload.version = backtest::PREPARED_DATA_VERSION;
  payload.meta = Value::object();
  payload.meta["ddb_start"] = rows.empty() ? "" : rows[0];
  payload.meta["variant"] = variant;
  payload.meta["component_names"] = component_names;
  Value keys = Value::object();
  for (const auto& name : component_names) keys[name] = backtest::component_dataset_key(name);
  payload.meta["component_dataset_keys"] = keys;
  payload.meta["created_at"] = "2024-03-01T10:00:00";

  int seed = variant * 100;
  for (const auto& [key, dtype] : backtest::BASE_MATRIX_DTYPE) {
    ++seed;
    payload.data.set_matrix(key, dtype == backtest::BOOL_STORAGE_DTYPE ? bool_matrix(rows, cols, seed)
                                                                       : float_matrix(rows, cols, seed));
  }
  for (const auto& name : component_names) {
    payload.data.set_matrix(backtest::component_dataset_key(name), mask_matrix(rows, cols, ++seed));
  }
  BenchmarkDict benchmarks;
  for (const auto& [name, code] : backtest::BENCHMARK_INDEX_CODES) {
    std::vector<double> values(rows.size());
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = i == 0 ? 0.0 : (static_cast<double>(i % 9) - 4.0) / 1000.0 + variant;
    benchmarks.set(name, DateSeries(rows, std::move(values)));
  }
  payload.data.set_benchmark_dict(std::move(benchmarks));
  return payload;
}

// The rows of `matrix` whose labels fall in [start, end] (absent bounds open).
inline WideMatrix rows_between(const WideMatrix& matrix, const std::optional<std::string>& start,
                               const std::optional<std::string>& end) {
  return matrix.filter_rows([&](const std::string& date) { return (!start || date >= *start) && (!end || date <= *end); });
}

// Expects `actual` to hold exactly `expected`'s matrices (in order, restricted to the range) and benchmark
// series, bit for bit, with equal version and meta.
inline void expect_same_payload(const Payload& expected, const Payload& actual,
                                const std::optional<std::string>& start = std::nullopt,
                                const std::optional<std::string>& end = std::nullopt) {
  EXPECT_EQ(expected.version, actual.version);
  EXPECT_EQ(pickle_dumps(expected.meta), pickle_dumps(actual.meta));
  ASSERT_EQ(expected.data.keys(), actual.data.keys());
  for (const auto& key : expected.data.keys()) {
    if (const WideMatrix* matrix = expected.data.find_matrix(key)) {
      const WideMatrix* loaded = actual.data.find_matrix(key);
      ASSERT_NE(loaded, nullptr) << key;
      EXPECT_TRUE(backtest::identical(rows_between(*matrix, start, end), *loaded)) << key;
      continue;
    }
    const BenchmarkDict* series = expected.data.benchmark_dict();
    const BenchmarkDict* loaded = actual.data.benchmark_dict();
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(series->keys(), loaded->keys());
    for (const auto& [name, values] : *series) {
      EXPECT_TRUE(backtest::identical(values.between(start ? &*start : nullptr, end ? &*end : nullptr), loaded->at(name)))
          << name;
    }
  }
}

// Runs `action`, expects it to throw exactly `Kind` with `message`, and returns whether the error carries a
// nested cause.
template <typename Kind>
bool expect_error(const std::function<void()>& action, const std::string& message) {
  try {
    action();
  } catch (const Kind& error) {
    EXPECT_EQ(std::string(error.what()), message);
    return dynamic_cast<const std::nested_exception*>(&error) != nullptr &&
           dynamic_cast<const std::nested_exception*>(&error)->nested_ptr() != nullptr;
  } catch (const std::exception& other) {
    ADD_FAILURE() << "other error: " << other.what();
    return false;
  }
  ADD_FAILURE() << "no error; expected: " << message;
  return false;
}

}  // namespace velmora::testing
