#pragma once

// The record a build returns and the store writes: "version", "meta" and "data", in that order.
//
// "data" is an insertion-ordered map whose entries are matrices (the twelve base matrices, then one mask per
// index-membership component under its dataset key) and, last, "benchmark_dict", the map of benchmark
// return series. Setting a key that is present replaces its value in place.

#include <cstdint>
#include <string>
#include <variant>

#include "velmora/backtest/date_series.h"
#include "velmora/backtest/ordered_map.h"
#include "velmora/backtest/prepare_export.h"
#include "velmora/backtest/wide_matrix.h"
#include "velmora/value.h"

namespace velmora::backtest {

inline constexpr const char* BENCHMARK_DICT_KEY = "benchmark_dict";

using PayloadEntry = std::variant<WideMatrix, BenchmarkDict>;

class VELMORA_PREPARE_EXPORT PayloadData {
 public:
  void set_matrix(const std::string& key, WideMatrix matrix) { entries_.set(key, std::move(matrix)); }
  void set_benchmark_dict(BenchmarkDict dict) { entries_.set(BENCHMARK_DICT_KEY, std::move(dict)); }

  bool contains(const std::string& key) const { return entries_.contains(key); }
  // The matrix under `key`, or null when absent or not a matrix.
  const WideMatrix* find_matrix(const std::string& key) const;
  // The matrix under `key`; throws KeyError naming the key when there is none.
  const WideMatrix& matrix(const std::string& key) const;
  // The benchmark map, or null when the data holds none.
  const BenchmarkDict* benchmark_dict() const;

  std::size_t size() const { return entries_.size(); }
  std::vector<std::string> keys() const { return entries_.keys(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  OrderedMap<PayloadEntry> entries_;
};

struct Payload {
  std::int64_t version = 0;
  Value meta = Value::object();
  PayloadData data;
  // Source matrices of the build that "data" does not hold but that an update of the store needs in order
  // to derive exactly what a rebuild over the longer range would (store_update.h): factor name → the
  // matrix as read. A build fills it; the store writes it beside the datasets ("update_basis" in the
  // metadata), where loaders do not look. Empty for a payload that was not built (a loaded one, say).
  OrderedMap<WideMatrix> update_basis;
};

}  // namespace velmora::backtest
