#pragma once

// What an update takes from the store: the source matrices of the store's range as its build read them,
// the membership masks and the benchmark series, all mapped from the store's files.

#include <optional>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/store.h"
#include "velmora/value.h"

namespace velmora::backtest::update {

struct StoredState {
  // Factor name → matrix as read: the five factors a dataset holds unchanged and the update basis.
  // Optional factors that had no data in the store's range are absent.
  MatrixMap sources;
  // Component name → mask, for each of `component_names` the store holds.
  MatrixMap masks;
  BenchmarkDict benchmarks;
};

// True when `metadata` carries an update basis.
bool has_update_basis(const Value& metadata);

// The stored state described by `metadata` (read once by the caller). REQUIRES: has_update_basis(metadata).
// Throws as the store's load does for missing or damaged files.
StoredState read_stored_state(const BinaryPreparedDataStore& store, const Value& metadata,
                              const std::vector<std::string>& component_names);

}  // namespace velmora::backtest::update
