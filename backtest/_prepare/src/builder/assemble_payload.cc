#include "velmora/backtest/builder.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest {

Payload GroupPreparedDataBuilder::_assemble_payload(const MatrixMap& data, const MatrixMap& component_matrices,
                                                    const BenchmarkDict& benchmark_dict,
                                                    const std::vector<std::string>& component_names,
                                                    const std::string& meta_time_key) const {
  Value component_dataset_keys = Value::object();
  for (const auto& name : component_names)
    if (!component_dataset_keys.contains(name)) component_dataset_keys[name] = component_dataset_key(name);

  Payload payload;
  payload.version = PREPARED_DATA_VERSION;
  for (const auto& [key, matrix] : data) payload.data.set_matrix(key, matrix);
  for (const auto& [name, mask] : component_matrices) payload.data.set_matrix(component_dataset_key(name), mask);
  payload.data.set_benchmark_dict(benchmark_dict);

  payload.meta = Value::object();
  payload.meta["start_date"] = default_start_;
  payload.meta["end_date"] = end_date_;
  payload.meta["ddb_start"] = ddb_start_;
  payload.meta["ddb_end"] = ddb_end_;
  payload.meta["component_names"] = component_names;
  payload.meta["component_dataset_keys"] = std::move(component_dataset_keys);
  payload.meta[meta_time_key] = local_iso_timestamp();
  return payload;
}

}  // namespace velmora::backtest
