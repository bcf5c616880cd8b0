#include "velmora/backtest/store_base.h"

#include <system_error>
#include <variant>

#include "npy_format.h"
#include "store_entries.h"
#include "store_files.h"
#include "store_messages.h"
#include "velmora/backtest/dates.h"
#include "velmora/errors.h"
#include "velmora/pickle.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using store_files::NewFile;

constexpr const char* BENCHMARK_FILE_PREFIX = "benchmark__";
constexpr const char* UPDATE_BASIS_FILE_PREFIX = "basis__";
constexpr const char* MANIFEST_FORMAT = "velmora-prepared-data-manifest";
constexpr std::int64_t MANIFEST_VERSION = 1;

Value label_list(const Labels& labels) {
  Value list = Value::array();
  auto& storage = list.get_ref<Value::array_t&>();
  storage.reserve(labels.size());
  for (const auto& label : labels) storage.emplace_back(label);
  return list;
}

// The file's size and CRC-32 as the manifest records them: from the entry when it carries them, else read.
Value manifest_record(const fs::path& store_dir, const std::string& file, const Value* entry) {
  Value record = Value::object();
  record["path"] = file;
  if (entry && entry->contains("size") && (*entry)["size"].is_number_integer() && entry->contains("crc32") &&
      (*entry)["crc32"].is_string()) {
    record["size"] = (*entry)["size"];
    record["crc32"] = (*entry)["crc32"];
    return record;
  }
  auto sum = store_files::checksum_file(store_entries::resolve_file(store_dir, file));
  record["size"] = sum.size;
  record["crc32"] = store_files::crc_text(sum.crc);
  return record;
}

// The named files of the store's current metadata; empty when it has none or it cannot be read (a damaged
// store is being replaced).
std::set<std::string> current_named_files(const BinaryPreparedDataStoreBase& store) {
  try {
    return store_entries::named_files(store.load_metadata());
  } catch (const VelmoraError&) {
    return {};
  }
}

}  // namespace

BinaryPreparedDataStoreBase::BinaryPreparedDataStoreBase(PathLike store_dir, OrderedMap<std::string> matrix_dtype,
                                                         std::int64_t version, std::string float_dtype)
    : store_dir_(std::move(store_dir)),
      matrix_dtype_(std::move(matrix_dtype)),
      version_(version),
      float_dtype_(std::move(float_dtype)) {}

BinaryPreparedDataStoreBase::~BinaryPreparedDataStoreBase() = default;

Value BinaryPreparedDataStoreBase::load_metadata() const { return read_metadata().value_or(Value::object()); }

std::optional<Value> BinaryPreparedDataStoreBase::read_metadata() const {
  std::optional<std::string> bytes = read_metadata_bytes();
  if (!bytes) return std::nullopt;
  return parse_metadata(*bytes);
}

std::optional<std::string> BinaryPreparedDataStoreBase::read_metadata_bytes() const {
  std::error_code error;
  if (!fs::exists(metadata_path(), error)) return std::nullopt;
  return store_files::read_file(metadata_path());
}

Value BinaryPreparedDataStoreBase::parse_metadata(const std::string& bytes) const {
  fs::path path = metadata_path();
  Value metadata;
  try {
    metadata = pickle_loads(bytes);
  } catch (const ValueError& failure) {
    std::throw_with_nested(VelmoraError(store_messages::metadata_unreadable(path, failure.what())));
  }
  if (!metadata.is_object()) {
    throw VelmoraError(store_messages::metadata_unreadable(path, store_messages::METADATA_NOT_A_MAP));
  }
  return metadata;
}

Value BinaryPreparedDataStoreBase::_write_matrix(const fs::path& store_dir, const std::string& key,
                                                 const WideMatrix& matrix, const std::string& dtype) const {
  CellType type = store_entries::storage_type(dtype);
  WideMatrix stored = matrix.cell_type() == type ? matrix : matrix.astype(type);
  NpyHeader header{type, {stored.rows(), stored.cols()}, 0};
  NewFile file(store_dir, store_entries::file_stem(key), ".npy");
  std::string preamble = npy_preamble(type, header.shape);
  file.write(preamble.data(), preamble.size());
  const void* cells = type == CellType::float64 ? static_cast<const void*>(stored.float_cells())
                                                : static_cast<const void*>(stored.bool_cells());
  if (stored.cell_count() > 0) file.write(cells, static_cast<std::size_t>(header.data_bytes()));
  file.commit();

  Value entry = Value::object();
  entry["file"] = file.name();
  entry["dtype"] = dtype;
  entry["shape"] = Value::array({stored.rows(), stored.cols()});
  entry["index"] = label_list(stored.row_labels());
  entry["columns"] = label_list(stored.column_labels());
  entry["size"] = file.size();
  entry["crc32"] = store_files::crc_text(file.crc());
  return entry;
}

void BinaryPreparedDataStoreBase::_write_manifest(const fs::path& store_dir, const Value& metadata) const {
  Value files = Value::array();
  files.push_back(manifest_record(store_dir, METADATA_FILE_NAME, nullptr));
  for (const Value* entry : store_entries::file_entries(metadata)) {
    files.push_back(manifest_record(store_dir, store_entries::text_field(*entry, "file"), entry));
  }
  Value manifest = Value::object();
  manifest["format"] = MANIFEST_FORMAT;
  manifest["version"] = MANIFEST_VERSION;
  manifest["files"] = std::move(files);
  store_files::replace_file(store_dir / MANIFEST_FILE_NAME, manifest.dump(1) + "\n");
}

void BinaryPreparedDataStoreBase::_write_metadata(const Value& metadata) const {
  std::string bytes = pickle_dumps(metadata);
  // The data files that the new metadata names must be durable before the metadata points at them.
  store_files::sync_directory(store_dir_);
  store_files::replace_file(metadata_path(), bytes);
}

void BinaryPreparedDataStoreBase::_remove_unnamed_files() const {
  std::set<std::string> named;
  try {
    named = store_entries::named_files(load_metadata());
  } catch (const VelmoraError&) {
    return;  // without readable metadata nothing is known to be unnamed
  }
  std::error_code error;
  for (const auto& item : fs::directory_iterator(store_dir_, error)) {
    if (!item.is_regular_file(error)) continue;
    std::string name = item.path().filename().string();
    bool ours = store_files::is_replace_temporary(name, METADATA_FILE_NAME) ||
                store_files::is_replace_temporary(name, MANIFEST_FILE_NAME) ||
                (store_entries::is_data_file_name(name) && !named.count(name));
    if (ours) fs::remove(item.path(), error);
  }
}

void BinaryPreparedDataStoreBase::write(const Payload& payload) const {
  fs::create_directories(store_dir_);
  std::set<std::string> old_files = current_named_files(*this);

  Value datasets = Value::object();
  Value benchmarks = Value::object();
  bool has_benchmarks = false;
  std::vector<fs::path> written;
  Value metadata = Value::object();
  try {
    for (const auto& [key, entry] : payload.data) {
      if (const auto* matrix = std::get_if<WideMatrix>(&entry)) {
        const std::string* dtype = matrix_dtype_.find(key);
        std::string stored_as = dtype                                        ? *dtype
                                : matrix->cell_type() == CellType::boolean ? std::string(BOOL_STORAGE_DTYPE)
                                                                             : float_dtype_;
        Value written_entry = _write_matrix(store_dir_, key, *matrix, stored_as);
        written.push_back(store_dir_ / written_entry["file"].get<std::string>());
        datasets[key] = std::move(written_entry);
        continue;
      }
      has_benchmarks = true;
      for (const auto& [name, series] : std::get<BenchmarkDict>(entry)) {
        NewFile file(store_dir_, BENCHMARK_FILE_PREFIX + store_entries::file_stem(name), ".npy");
        std::string preamble = npy_preamble(CellType::float64, {series.size()});
        file.write(preamble.data(), preamble.size());
        file.write(series.values().data(), series.size() * sizeof(double));
        file.commit();
        written.push_back(file.path());
        Value series_entry = Value::object();
        series_entry["file"] = file.name();
        series_entry["name"] = series.name();
        series_entry["index"] = label_list(series.dates());
        series_entry["size"] = file.size();
        series_entry["crc32"] = store_files::crc_text(file.crc());
        benchmarks[name] = std::move(series_entry);
      }
    }

    Value basis_sources = Value::object();
    for (const auto& [name, matrix] : payload.update_basis) {
      Value written_entry = _write_matrix(store_dir_, UPDATE_BASIS_FILE_PREFIX + name, matrix, float_dtype_);
      written.push_back(store_dir_ / written_entry["file"].get<std::string>());
      basis_sources[name] = std::move(written_entry);
    }

    metadata["version"] = payload.version;
    metadata["updated_at"] = local_iso_timestamp();
    metadata["meta"] = payload.meta;
    metadata["datasets"] = std::move(datasets);
    if (has_benchmarks) metadata["benchmark_dict"] = std::move(benchmarks);
    if (!payload.update_basis.empty()) {
      Value basis = Value::object();
      basis[store_entries::UPDATE_BASIS_SOURCES_KEY] = std::move(basis_sources);
      metadata[store_entries::UPDATE_BASIS_KEY] = std::move(basis);
    }
    _write_metadata(metadata);
  } catch (...) {
    // Nothing names the new files yet; the old store is untouched.
    std::error_code ignored;
    for (const auto& path : written) fs::remove(path, ignored);
    throw;
  }

  // The new metadata is in place; a failure from here on leaves a complete new store.
  _write_manifest(store_dir_, metadata);
  std::set<std::string> new_files = store_entries::named_files(metadata);
  std::error_code ignored;
  for (const auto& file : old_files) {
    if (new_files.count(file)) continue;
    try {
      fs::remove(store_entries::resolve_file(store_dir_, file), ignored);
    } catch (const ValueError&) {
      // a path outside the store is never removed
    }
  }
  _remove_unnamed_files();
}

void BinaryPreparedDataStoreBase::verify() const {
  Value manifest;
  try {
    manifest = Value::parse(store_files::read_file(manifest_path()));
    if (!manifest.contains("files") || !manifest["files"].is_array()) throw ValueError(store_messages::MANIFEST_UNREADABLE);
  } catch (const std::exception&) {
    std::throw_with_nested(VelmoraError(store_messages::MANIFEST_UNREADABLE));
  }
  for (const auto& record : manifest["files"]) {
    const std::string& file = store_entries::text_field(record, "path");
    store_files::FileSum sum;
    try {
      sum = store_files::checksum_file(store_entries::resolve_file(store_dir_, file));
    } catch (const std::exception& failure) {
      std::throw_with_nested(VelmoraError(store_messages::manifest_mismatch(file, failure.what())));
    }
    auto expected_size = record.value("size", std::uint64_t{0});
    if (sum.size != expected_size) {
      throw VelmoraError(store_messages::manifest_mismatch(
          file, "size " + std::to_string(sum.size) + ", expected " + std::to_string(expected_size)));
    }
    std::string crc = store_files::crc_text(sum.crc);
    std::string expected_crc = record.value("crc32", std::string());
    if (crc != expected_crc) {
      throw VelmoraError(store_messages::manifest_mismatch(file, "CRC-32 " + crc + ", expected " + expected_crc));
    }
  }
}

}  // namespace velmora::backtest
