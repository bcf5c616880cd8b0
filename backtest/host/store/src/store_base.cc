#include "velmora/backtest/store_base.h"

#include <functional>
#include <mutex>
#include <system_error>
#include <variant>

#include "npy_format.h"
#include "store_entries.h"
#include "store_files.h"
#include "store_messages.h"
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

constexpr const char* BENCHMARK_FILE_PREFIX = "benchmark__";
constexpr const char* UPDATE_BASIS_FILE_PREFIX = "basis__";
constexpr const char* MANIFEST_FORMAT = "velmora-prepared-data-manifest";
constexpr std::int64_t MANIFEST_VERSION = 1;
// The files a write has created or is replacing and has not yet seen through, one name a line.
constexpr const char* PENDING_FILES_NAME = ".pending_files";

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

// The files the store can prove it wrote before a rewrite: those its current metadata names and those its
// manifest lists (the metadata and manifest themselves aside). Either may be missing or unreadable (a
// damaged store is being replaced); it then proves nothing.
std::set<std::string> current_store_files(const BinaryPreparedDataStoreBase& store) {
  std::set<std::string> files;
  try {
    files = store_entries::named_files(store.load_metadata());
  } catch (const VelmoraError&) {
  }
  try {
    Value manifest = Value::parse(store_files::read_file(store.manifest_path()), nullptr, false);
    auto listed = manifest.is_object() ? manifest.find("files") : manifest.end();
    if (manifest.is_object() && listed != manifest.end() && listed->is_array()) {
      for (const auto& record : *listed) {
        auto path = record.is_object() ? record.find("path") : record.end();
        if (record.is_object() && path != record.end() && path->is_string()) files.insert(path->get<std::string>());
      }
    }
  } catch (const VelmoraError&) {
  }
  files.erase(METADATA_FILE_NAME);
  files.erase(MANIFEST_FILE_NAME);
  return files;
}

// Records in `dir`'s ".pending_files" that a writer is about to create `file` there, before any metadata
// names it.
void record_pending(const fs::path& dir, const std::string& file) {
  static std::mutex appending;  // files of one write are created from several threads
  std::lock_guard lock(appending);
  store_files::append_file(dir / PENDING_FILES_NAME, file + "\n");
}

// A file written but not yet synced, with the entry that will name it.
struct WrittenFile {
  Value entry;
  std::unique_ptr<NewFile> file;
};

// Writes an array of `type` and `shape` whose cells are `cells` as a new .npy file named after `stem`,
// recorded as pending first, and starts its way to disk. The caller commits it.
std::unique_ptr<NewFile> write_npy_file(const fs::path& store_dir, const std::string& stem, CellType type,
                                        const std::vector<std::uint64_t>& shape, const void* cells) {
  NpyHeader header{type, shape, 0};
  std::string preamble = npy_preamble(type, shape);
  auto file = std::make_unique<NewFile>(
      store_dir, stem, ".npy", [&](const std::string& name) { record_pending(store_dir, name); },
      preamble.size() + header.data_bytes());
  file->write(preamble.data(), preamble.size());
  if (header.data_bytes() > 0) file->write(cells, static_cast<std::size_t>(header.data_bytes()));
  file->start_writeback();
  return file;
}

// Writes `matrix` as a new .npy file of storage type `dtype` named after `stem` (see write_npy_file).
WrittenFile write_matrix_file(const fs::path& store_dir, const std::string& stem, const WideMatrix& matrix,
                              const std::string& dtype) {
  CellType type = store_entries::storage_type(dtype);
  WideMatrix stored = matrix.cell_type() == type ? matrix : matrix.astype(type);
  const void* cells = type == CellType::float64 ? static_cast<const void*>(stored.float_cells())
                                                : static_cast<const void*>(stored.bool_cells());
  auto file = write_npy_file(store_dir, stem, type, {stored.rows(), stored.cols()}, cells);
  Value entry = Value::object();
  entry["file"] = file->name();
  entry["dtype"] = dtype;
  entry["shape"] = Value::array({stored.rows(), stored.cols()});
  entry["index"] = label_list(stored.row_labels());
  entry["columns"] = label_list(stored.column_labels());
  entry["size"] = file->size();
  entry["crc32"] = store_files::crc_text(file->crc());
  return {std::move(entry), std::move(file)};
}

WrittenFile write_series_file(const fs::path& store_dir, const std::string& stem, const DateSeries& series) {
  auto file = write_npy_file(store_dir, stem, CellType::float64, {series.size()}, series.values().data());
  Value entry = Value::object();
  entry["file"] = file->name();
  entry["name"] = series.name();
  entry["index"] = label_list(series.dates());
  entry["size"] = file->size();
  entry["crc32"] = store_files::crc_text(file->crc());
  return {std::move(entry), std::move(file)};
}

// Removes `file` of the store; a name that leaves the store directory is never removed.
void remove_store_file(const fs::path& store_dir, const std::string& file) {
  std::error_code ignored;
  try {
    fs::remove(store_entries::resolve_file(store_dir, file), ignored);
  } catch (const ValueError&) {
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
  WrittenFile written = write_matrix_file(store_dir, store_entries::file_stem(key), matrix, dtype);
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
  fs::path pending_path = store_dir_ / PENDING_FILES_NAME;
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
  StoreWriterLock lock(store_dir_);
  write(payload, lock);
}

void BinaryPreparedDataStoreBase::write(const Payload& payload, const StoreWriterLock&) const {
  fs::create_directories(store_dir_);
  std::set<std::string> old_files = current_store_files(*this);
  // Recorded first, so that a writer killed after the switch but before removing them leaves them to the
  // next write instead of orphaning them.
  std::string old_names;
  for (const auto& file : old_files) old_names += file + "\n";
  if (!old_names.empty()) store_files::append_file(store_dir_ / PENDING_FILES_NAME, old_names);

  // Every file is written first, several at a time, and then all are synced together, before any metadata
  // names them.
  std::vector<WrittenFile> files;
  std::vector<std::function<void()>> jobs;
  Value datasets = Value::object();
  Value benchmarks = Value::object();
  Value basis_sources = Value::object();
  struct Slot {
    Value* section;
    std::string key;
  };
  std::vector<Slot> slots;
  bool has_benchmarks = false;
  for (const auto& [key, entry] : payload.data) {
    if (const auto* matrix = std::get_if<WideMatrix>(&entry)) {
      const std::string* dtype = matrix_dtype_.find(key);
      std::string stored_as = dtype                                        ? *dtype
                              : matrix->cell_type() == CellType::boolean ? std::string(BOOL_STORAGE_DTYPE)
                                                                           : float_dtype_;
      slots.push_back({&datasets, key});
      jobs.push_back([this, &files, index = jobs.size(), key = key, matrix, stored_as] {
        files[index] = write_matrix_file(store_dir_, store_entries::file_stem(key), *matrix, stored_as);
      });
      continue;
    }
    has_benchmarks = true;
    for (const auto& [name, series] : std::get<BenchmarkDict>(entry)) {
      slots.push_back({&benchmarks, name});
      jobs.push_back([this, &files, index = jobs.size(), name = name, series = &series] {
        files[index] = write_series_file(store_dir_, BENCHMARK_FILE_PREFIX + store_entries::file_stem(name), *series);
      });
    }
  }
  for (const auto& [name, matrix] : payload.update_basis) {
    slots.push_back({&basis_sources, name});
    jobs.push_back([this, &files, index = jobs.size(), name = name, matrix = &matrix] {
      files[index] =
          write_matrix_file(store_dir_, store_entries::file_stem(UPDATE_BASIS_FILE_PREFIX + name), *matrix, float_dtype_);
    });
  }
  files.resize(jobs.size());

  std::vector<fs::path> written;
  Value metadata = Value::object();
  try {
    try {
      // Each file's copy and checksum cost processor time, which more cores share.
      store_files::run_all(jobs.size(), thread_count(), [&](std::size_t i) { jobs[i](); });
    } catch (...) {
      for (auto& file : files)
        if (file.file) written.push_back(file.file->path());
      throw;
    }
    // A file that fails to commit removes itself; the others are removed below with the rest.
    std::vector<std::unique_ptr<NewFile>> open_files;
    for (auto& file : files) {
      written.push_back(file.file->path());
      open_files.push_back(std::move(file.file));
    }
    store_files::commit_all(open_files);
    for (std::size_t i = 0; i < slots.size(); ++i) (*slots[i].section)[slots[i].key] = std::move(files[i].entry);

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
    try {
      _remove_unnamed_files();
    } catch (const std::exception&) {
      // the error in flight matters more; the next write removes what is left
    }
    throw;
  }

  // The new metadata is in place; a failure from here on leaves a complete new store.
  _write_manifest(store_dir_, metadata);
  _remove_unnamed_files();
}

void BinaryPreparedDataStoreBase::verify() const {
  std::vector<std::string> faults = manifest_faults(store_dir_);
  if (!faults.empty()) throw VelmoraError(faults.front());
}

}  // namespace velmora::backtest
