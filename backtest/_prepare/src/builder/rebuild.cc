#include "velmora/backtest/rebuild.h"

#include "builder/payload_stage.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/errors.h"

namespace velmora::backtest {

namespace {

// The texts of the "component_names" list of `meta`; empty when it is absent or not a list.
std::vector<std::string> listed_names(const Value& meta) {
  std::vector<std::string> names;
  if (!meta.is_object()) return names;
  auto found = meta.find("component_names");
  if (found == meta.end() || !found->is_array()) return names;
  for (const Value& name : *found)
    if (name.is_string()) names.push_back(name.get<std::string>());
  return names;
}

}  // namespace

std::vector<std::string> components_beyond(const Value& store_metadata, const Payload& payload) {
  return components_beyond(store_metadata, listed_names(payload.meta));
}

std::vector<std::string> components_beyond(const Value& store_metadata, const std::vector<std::string>& built) {
  if (!store_metadata.is_object() || !store_metadata.contains("meta")) return {};
  std::vector<std::string> beyond;
  for (const auto& name : listed_names(store_metadata["meta"])) {
    bool known = false;
    for (const auto& other : built) known = known || other == name;
    for (const auto& other : beyond) known = known || other == name;
    if (!known) beyond.push_back(name);
  }
  return beyond;
}

std::vector<std::string> keep_store_components(const GroupPreparedDataBuilder& builder, const Value& store_metadata,
                                               Payload& payload) {
  const std::vector<std::string> names = components_beyond(store_metadata, payload);
  if (names.empty()) return names;
  const MatrixMap masks = builder._component_matrices(names);
  std::vector<std::string> lost;
  for (const auto& name : names)
    if (!masks.contains(name) || !masks.at(name).has_data()) lost.push_back(name);
  if (!lost.empty()) throw ValueError(builder::components_lost_message(lost));

  // The masks go after the payload's own, before the benchmark map that ends the data.
  PayloadData data;
  for (const auto& [key, entry] : payload.data)
    if (const auto* matrix = std::get_if<WideMatrix>(&entry)) data.set_matrix(key, *matrix);
  for (const auto& name : names) data.set_matrix(component_dataset_key(name), masks.at(name));
  if (const BenchmarkDict* benchmarks = payload.data.benchmark_dict()) data.set_benchmark_dict(*benchmarks);
  payload.data = std::move(data);

  Value& meta = payload.meta;
  if (!meta["component_names"].is_array()) meta["component_names"] = Value::array();
  if (!meta["component_dataset_keys"].is_object()) meta["component_dataset_keys"] = Value::object();
  for (const auto& name : names) {
    meta["component_names"].push_back(name);
    meta["component_dataset_keys"][name] = component_dataset_key(name);
  }
  return names;
}

}  // namespace velmora::backtest
