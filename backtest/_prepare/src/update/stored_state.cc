#include "update/stored_state.h"

#include "store_entries.h"
#include "builder/update_basis.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest::update {

namespace {

// Loads from metadata the caller already holds (and may reshape), through the store's own reading code.
class MetadataLoader : public BinaryPreparedDataStoreBase {
 public:
  explicit MetadataLoader(const BinaryPreparedDataStore& store)
      : BinaryPreparedDataStoreBase(store.store_dir(), store.matrix_dtype(), PREPARED_DATA_VERSION,
                                    FLOAT_STORAGE_DTYPE) {}

  Payload load_keys(const Value& metadata, const std::vector<std::string>& keys) const {
    return *load_with(metadata, std::nullopt, std::nullopt, keys, /*mmap=*/true);
  }
};

const Value* basis_sources(const Value& metadata) {
  auto basis = metadata.find(store_entries::UPDATE_BASIS_KEY);
  if (basis == metadata.end() || !basis->is_object()) return nullptr;
  auto sources = basis->find(store_entries::UPDATE_BASIS_SOURCES_KEY);
  return sources != basis->end() && sources->is_object() ? &*sources : nullptr;
}

}  // namespace

bool has_update_basis(const Value& metadata) {
  const Value* sources = basis_sources(metadata);
  if (!sources) return false;
  for (const auto& name : builder::BASIS_REQUIRED_NAMES)
    if (!sources->contains(name)) return false;
  return true;
}

StoredState read_stored_state(const BinaryPreparedDataStore& store, const Value& metadata,
                              const std::vector<std::string>& component_names) {
  MetadataLoader loader(store);
  StoredState state;

  std::vector<std::string> keys;
  for (const auto& [factor, key] : builder::SOURCE_DATASETS) keys.push_back(key);
  for (const auto& name : component_names) keys.push_back(component_dataset_key(name));
  Payload stored = loader.load_keys(metadata, keys);
  for (const auto& [factor, key] : builder::SOURCE_DATASETS) state.sources.set(factor, stored.data.matrix(key));
  for (const auto& name : component_names) state.masks.set(name, stored.data.matrix(component_dataset_key(name)));
  if (const BenchmarkDict* benchmarks = stored.data.benchmark_dict()) state.benchmarks = *benchmarks;

  // The basis entries have the form of dataset entries: load them as the datasets of a reshaped copy.
  Value basis_only = Value::object();
  basis_only["version"] = metadata.value("version", PREPARED_DATA_VERSION);
  basis_only["datasets"] = *basis_sources(metadata);
  std::vector<std::string> names;
  for (const auto& [name, entry] : basis_only["datasets"].items()) names.push_back(name);
  Payload basis = loader.load_keys(basis_only, names);
  for (const auto& name : names) state.sources.set(name, basis.data.matrix(name));
  return state;
}

}  // namespace velmora::backtest::update
