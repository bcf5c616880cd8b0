#include "velmora/backtest/store_base.h"

#include <functional>
#include <mutex>
#include <system_error>
#include <variant>

#include "npy_format.h"
#include "store_entries.h"
#include "store_files.h"
#include "store_messages.h"
#include "store_rewrite.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/parallel.h"
#include "velmora/errors.h"
#include "velmora/pickle.h"
#include "velmora/store_lock.h"
#include "velmora/store_manifest.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using store_files::NewFile;

constexpr const char* MANIFEST_FORMAT = "velmora-prepared-data-manifest";
constexpr std::int64_t MANIFEST_VERSION = 1;

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
  const fs::path path = store_entries::resolve_file(store_dir, file);
  const files::FileSum sum = files::checksum_file(path);
  if (sum.error) throw VelmoraError(store_messages::io_failure(sum.action, path, sum.error));
  record["size"] = sum.size;
  record["crc32"] = files::crc_text(sum.crc);
  return record;
}

// Removes `file` of the store; a name that leaves the store directory is never removed.
void remove_store_file(const fs::path& store_dir, const std::string& file) {
  std::error_code ignored;
  try {
    fs::remove(store_entries::resolve_file(store_dir, file), ignored);
  } catch (const ValueError&) {
  }
}

// Refuses a payload that a load could not slice: a load takes a date range by bisecting the dates, so a
// matrix or series whose dates are not strictly ascending would give the wrong rows. Checked before the
// store is touched.
void require_ascending_dates(const Payload& payload) {
  for (const auto& [key, entry] : payload.data) {
    if (const auto* matrix = std::get_if<WideMatrix>(&entry)) {
      if (!matrix->row_labels().is_sorted())
        throw ValueError(store_messages::dataset_unwritable(key, store_messages::DATES_NOT_ASCENDING));
      continue;
    }
    for (const auto& [name, series] : std::get<BenchmarkDict>(entry))
      if (!series.dates().is_sorted())
        throw ValueError(store_messages::benchmark_unwritable(name, store_messages::DATES_NOT_ASCENDING));
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
  store_rewrite::WrittenFile written =
      store_rewrite::write_matrix_file(store_dir, store_entries::file_stem(key), matrix, dtype);
  written.file->commit();
  return std::move(written.entry);
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
  fs::path pending_path = store_dir_ / store_rewrite::PENDING_FILES_NAME;
  if (fs::exists(pending_path, error)) {
    std::string pending = store_files::read_file(pending_path);
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string file = pending.substr(start, end - start);
      if (!file.empty() && !named.count(file)) remove_store_file(store_dir_, file);
    }
    fs::remove(pending_path, error);
  }
  for (const auto& item : fs::directory_iterator(store_dir_, error)) {
    if (!item.is_regular_file(error)) continue;
    std::string name = item.path().filename().string();
    if (store_files::is_replace_temporary(name, METADATA_FILE_NAME) ||
        store_files::is_replace_temporary(name, MANIFEST_FILE_NAME)) {
      fs::remove(item.path(), error);
    }
  }
}

void BinaryPreparedDataStoreBase::write(const Payload& payload) const {
  require_ascending_dates(payload);
  StoreWriterLock lock(store_dir_);
  write(payload, lock);
}

void BinaryPreparedDataStoreBase::write(const Payload& payload, const StoreWriterLock&) const {
  require_ascending_dates(payload);
  using store_rewrite::PlannedFile;
  using store_rewrite::Section;
  std::vector<PlannedFile> files;
  bool has_benchmarks = false;
  for (const auto& [key, entry] : payload.data) {
    if (const auto* matrix = std::get_if<WideMatrix>(&entry)) {
      const std::string* dtype = matrix_dtype_.find(key);
      std::string stored_as = dtype                                        ? *dtype
                              : matrix->cell_type() == CellType::boolean ? std::string(BOOL_STORAGE_DTYPE)
                                                                           : float_dtype_;
      files.push_back({Section::datasets, key, [this, key = key, matrix, stored_as] {
                         return store_rewrite::write_matrix_file(store_dir_, store_entries::file_stem(key), *matrix,
                                                                 stored_as);
                       }});
      continue;
    }
    has_benchmarks = true;
    for (const auto& [name, series] : std::get<BenchmarkDict>(entry)) {
      files.push_back({Section::benchmarks, name, [this, name = name, series = &series] {
                         return store_rewrite::write_series_file(
                             store_dir_, store_rewrite::BENCHMARK_FILE_PREFIX + store_entries::file_stem(name), *series);
                       }});
    }
  }
  for (const auto& [name, matrix] : payload.update_basis) {
    files.push_back({Section::basis, name, [this, name = name, matrix = &matrix] {
                       return store_rewrite::write_matrix_file(
                           store_dir_, store_entries::file_stem(store_rewrite::UPDATE_BASIS_FILE_PREFIX + name), *matrix,
                           float_dtype_);
                     }});
  }

  Value metadata = Value::object();
  metadata["version"] = payload.version;
  metadata["updated_at"] = local_iso_timestamp();
  metadata["meta"] = payload.meta;
  metadata["datasets"] = Value::object();
  if (has_benchmarks) metadata["benchmark_dict"] = Value::object();
  if (!payload.update_basis.empty()) {
    metadata[store_entries::UPDATE_BASIS_KEY] = Value::object();
    metadata[store_entries::UPDATE_BASIS_KEY][store_entries::UPDATE_BASIS_SOURCES_KEY] = Value::object();
  }
  store_rewrite::write_store_files(*this, std::move(metadata), std::move(files));
}

void BinaryPreparedDataStoreBase::verify() const {
  std::vector<std::string> faults = manifest_faults(store_dir_);
  if (!faults.empty()) throw VelmoraError(faults.front());
}

}  // namespace velmora::backtest
