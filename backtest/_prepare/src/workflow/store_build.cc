#include "velmora/backtest/store_build.h"

#include <algorithm>
#include <chrono>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/rebuild.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/value.h"
#include "workflow/workflow_messages.h"

namespace velmora::backtest {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The metadata of the store being replaced; an empty map when there is none, or when it cannot be read: a
// store whose metadata is damaged no longer loads, and a rebuild is how it is mended.
Value readable_metadata(const fs::path& store_dir) {
  try {
    return BinaryPreparedDataStore(store_dir).load_metadata();
  } catch (const VelmoraError&) {
    return Value::object();
  }
}

std::vector<std::string> listed_components(const Payload& payload) {
  std::vector<std::string> names;
  for (const Value& name : payload.meta.value("component_names", Value::array()))
    if (name.is_string()) names.push_back(name.get<std::string>());
  return names;
}

// `metadata` as keep_store_components should see it: without the dropped names among its components, so
// that they are neither built again nor reported as lost.
Value without_components(Value metadata, const std::vector<std::string>& dropped) {
  if (dropped.empty() || !metadata.contains("meta") || !metadata["meta"].is_object()) return metadata;
  Value& meta = metadata["meta"];
  if (!meta.contains("component_names") || !meta["component_names"].is_array()) return metadata;
  Value kept = Value::array();
  for (const Value& name : meta["component_names"])
    if (!name.is_string() || !contains(dropped, name.get<std::string>())) kept.push_back(name);
  meta["component_names"] = std::move(kept);
  return metadata;
}

}  // namespace

StoreBuild build_into_store(const fs::path& store_dir, const StoreBuildOptions& options) {
  auto say = [&](const std::string& text) {
    if (options.progress) options.progress(text);
  };
  StoreWritingScope scope(store_dir, options.lock);
  const Value existing = readable_metadata(store_dir);

  // Checked before the build, so that a misspelt name costs no read.
  StoreBuild result;
  const std::vector<std::string> supplemented = components_beyond(existing, get_component_factor_names());
  std::vector<std::string> unknown;
  for (const auto& name : options.drop_components) {
    if (!contains(supplemented, name)) {
      if (!contains(unknown, name)) unknown.push_back(name);
    } else if (!contains(result.dropped, name)) {
      result.dropped.push_back(name);
    }
  }
  if (!unknown.empty()) throw ValueError(workflow_messages::not_droppable(unknown, store_dir, supplemented));

  const GroupPreparedDataBuilder builder(options.start_date, options.end_date);
  say(workflow_messages::building(builder.default_start(), builder.end_date()));
  auto started = Clock::now();
  Payload payload = options.batch ? builder.build_incremental() : builder.build();

  // A write replaces the whole store: it must neither empty a good store by accident nor drop the
  // components that were supplemented into it.
  const bool store_has_data = existing.is_object() && existing.contains("datasets");
  if (store_has_data && !options.allow_empty && payload.data.matrix("close_price").rows() == 0) {
    throw VelmoraError(
        workflow_messages::empty_build_over_store(builder.default_start(), builder.end_date(), store_dir.string()));
  }
  result.kept = keep_store_components(builder, without_components(existing, result.dropped), payload);
  result.timings.build = seconds_since(started);

  say(workflow_messages::WRITING);
  started = Clock::now();
  result.components = listed_components(payload);
  BinaryPreparedDataStore(store_dir, result.components).write(payload, scope.lock());
  result.timings.write = seconds_since(started);
  scope.succeeded();

  result.start_date = payload.meta.value("start_date", std::string());
  result.end_date = payload.meta.value("end_date", std::string());
  for (const auto& [key, entry] : payload.data) {
    if (std::holds_alternative<WideMatrix>(entry)) ++result.datasets;
  }
  if (const BenchmarkDict* benchmarks = payload.data.benchmark_dict()) result.benchmark_series = benchmarks->size();
  const WideMatrix& close = payload.data.matrix("close_price");
  result.dates = close.rows();
  result.instruments = close.cols();
  return result;
}

}  // namespace velmora::backtest
