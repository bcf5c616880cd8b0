#include "velmora/backtest/store.h"

#include <unordered_set>

#include "vocabulary/argument_kinds.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/matrix_dtype.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/errors.h"
#include "velmora/store_lock.h"

namespace velmora::backtest {
namespace {

constexpr const char* MISSING_COMPONENT_MATRIX = "缺失成分股矩阵为空，无法补充: ";
constexpr const char* METADATA_SECTION_NOT_A_MAP = "store metadata entry is not a map: ";

// The map under `key` of `parent`, created empty when absent.
Value& map_entry(Value& parent, const char* key) {
  if (!parent.contains(key)) parent[key] = Value::object();
  Value& entry = parent[key];
  if (!entry.is_object()) throw VelmoraError(std::string(METADATA_SECTION_NOT_A_MAP) + key);
  return entry;
}

Value text_list(const std::vector<std::string>& texts) {
  Value list = Value::array();
  for (const auto& text : texts) list.push_back(text);
  return list;
}

}  // namespace

BinaryPreparedDataStore::BinaryPreparedDataStore(PathLike store_dir,
                                                 const std::optional<std::vector<std::string>>& component_names)
    : BinaryPreparedDataStoreBase(std::move(store_dir), build_matrix_dtype(component_names), PREPARED_DATA_VERSION,
                                  FLOAT_STORAGE_DTYPE) {}

BinaryPreparedDataStore::BinaryPreparedDataStore(PathLike store_dir, const std::vector<std::string>& component_names)
    : BinaryPreparedDataStore(std::move(store_dir), std::optional<std::vector<std::string>>(component_names)) {}

BinaryPreparedDataStore::BinaryPreparedDataStore(PathLike store_dir, const Value& component_names)
    : BinaryPreparedDataStoreBase(std::move(store_dir), build_matrix_dtype(component_names), PREPARED_DATA_VERSION,
                                  FLOAT_STORAGE_DTYPE) {}

BinaryPreparedDataStore::~BinaryPreparedDataStore() = default;

std::optional<Payload> BinaryPreparedDataStore::load(std::optional<std::string> start_date,
                                                     std::optional<std::string> end_date,
                                                     std::optional<std::vector<std::string>> keys, bool mmap) const {
  if (keys) return BinaryPreparedDataStoreBase::load(std::move(start_date), std::move(end_date), std::move(keys), mmap);
  return load_consistently([&](const std::optional<Value>& metadata) {
    const Value* datasets = nullptr;
    if (metadata) {
      auto found = metadata->find("datasets");
      if (found != metadata->end() && found->is_object()) datasets = &*found;
    }
    std::vector<std::string> listed_keys;
    for (const auto& [key, dtype] : matrix_dtype()) {
      if (datasets && datasets->contains(key)) listed_keys.push_back(key);
    }
    return load_with(metadata, start_date, end_date, listed_keys, mmap);
  });
}

std::optional<Payload> BinaryPreparedDataStore::load(const Value& start_date, const Value& end_date,
                                                     const Value& keys, bool mmap) const {
  auto start = optional_text(start_date, "start_date");
  auto end = optional_text(end_date, "end_date");
  auto key_list = optional_text_list(keys, "keys");
  return load(std::move(start), std::move(end), std::move(key_list), mmap);
}

std::vector<std::string> BinaryPreparedDataStore::add_component_matrices(
    const OrderedMap<WideMatrix>& component_matrices, const std::vector<std::string>& component_names) const {
  return add_component_matrices(component_matrices, text_list(component_names));
}

std::vector<std::string> BinaryPreparedDataStore::add_component_matrices(
    const OrderedMap<WideMatrix>& component_matrices, const Value& component_names) const {
  require_list(component_names, "component_names");
  StoreWriterLock lock(store_dir());
  return add_components_locked(component_matrices, component_names);
}

std::vector<std::string> BinaryPreparedDataStore::add_component_matrices(
    const OrderedMap<WideMatrix>& component_matrices, const std::vector<std::string>& component_names,
    const StoreWriterLock&) const {
  return add_components_locked(component_matrices, text_list(component_names));
}

std::vector<std::string> BinaryPreparedDataStore::add_components_locked(const OrderedMap<WideMatrix>& component_matrices,
                                                                        const Value& component_names) const {
  Value metadata = load_metadata();
  Value& datasets = map_entry(metadata, "datasets");

  std::vector<std::string> written;
  for (const auto& name : parse_name_list(component_names)) {
    std::string key = component_dataset_key(name);
    if (datasets.contains(key)) continue;
    const WideMatrix* matrix = component_matrices.find(name);
    if (!matrix || !matrix->has_data()) throw ValueError(MISSING_COMPONENT_MATRIX + name);
    datasets[key] = _write_matrix(store_dir(), key, *matrix, FLOAT_STORAGE_DTYPE);
    written.push_back(name);
  }
  if (written.empty()) return written;

  Value& meta = map_entry(metadata, "meta");  // `datasets` may dangle from here on
  Value combined = meta.contains("component_names") ? text_list(parse_name_list(meta["component_names"]))
                                                    : Value::array();
  for (const auto& name : component_names) combined.push_back(name);
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (auto& name : parse_name_list(combined)) {
    if (seen.insert(name).second) names.push_back(std::move(name));
  }
  meta["component_names"] = text_list(names);

  Value key_map = meta.contains("component_dataset_keys") ? meta["component_dataset_keys"] : Value::object();
  if (!key_map.is_object()) key_map = Value::object();
  for (const auto& name : names) key_map[name] = component_dataset_key(name);
  meta["component_dataset_keys"] = std::move(key_map);

  // Setting a new top-level entry may move the entries of `metadata`, so "meta" is looked up again after it.
  std::string now = local_iso_timestamp();
  metadata["updated_at"] = now;
  metadata["meta"]["updated_at"] = now;
  metadata["meta"]["component_supplemented_at"] = now;

  _write_metadata(metadata);
  _write_manifest(store_dir(), metadata);
  _remove_unnamed_files();
  return written;
}

}  // namespace velmora::backtest
