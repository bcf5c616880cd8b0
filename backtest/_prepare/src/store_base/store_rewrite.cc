#include "store_rewrite.h"

#include <mutex>
#include <set>

#include "npy_format.h"
#include "store_entries.h"
#include "velmora/backtest/parallel.h"
#include "velmora/errors.h"
#include "velmora/interruption.h"

namespace velmora::backtest::store_rewrite {
namespace {

namespace fs = std::filesystem;
using store_files::NewFile;

// Records in `dir`'s ".pending_files" that a writer is about to create `file` there, before any metadata
// names it.
void record_pending(const fs::path& dir, const std::string& file) {
  static std::mutex appending;  // files of one write are created from several threads
  std::lock_guard lock(appending);
  store_files::append_file(dir / PENDING_FILES_NAME, file + "\n");
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

// Writes an array of `type` and `shape` whose cells are `cells` as a new .npy file named after `stem` and
// starts its way to disk. The caller commits it.
std::unique_ptr<NewFile> write_npy_file(const fs::path& store_dir, const std::string& stem, CellType type,
                                        const std::vector<std::uint64_t>& shape, const void* cells) {
  NpyHeader header{type, shape, 0};
  std::string preamble = npy_preamble(type, shape);
  auto file = new_data_file(store_dir, stem, preamble.size() + header.data_bytes());
  file->write(preamble.data(), preamble.size());
  if (header.data_bytes() > 0) file->write(cells, static_cast<std::size_t>(header.data_bytes()));
  file->start_writeback();
  return file;
}

Value& section_of(Value& metadata, Section section) {
  switch (section) {
    case Section::datasets: return metadata["datasets"];
    case Section::benchmarks: return metadata["benchmark_dict"];
    case Section::basis: return metadata[store_entries::UPDATE_BASIS_KEY][store_entries::UPDATE_BASIS_SOURCES_KEY];
  }
  throw std::logic_error("unknown metadata section");
}

}  // namespace

std::unique_ptr<NewFile> new_data_file(const fs::path& store_dir, const std::string& stem,
                                       std::uint64_t expected_size) {
  return std::make_unique<NewFile>(
      store_dir, stem, ".npy", [&](const std::string& name) { record_pending(store_dir, name); }, expected_size);
}

Value label_list(const Labels& labels) {
  Value list = Value::array();
  auto& storage = list.get_ref<Value::array_t&>();
  storage.reserve(labels.size());
  for (const auto& label : labels) storage.emplace_back(label);
  return list;
}

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
  entry["crc32"] = files::crc_text(file->crc());
  return {std::move(entry), std::move(file)};
}

WrittenFile write_series_file(const fs::path& store_dir, const std::string& stem, const DateSeries& series) {
  auto file = write_npy_file(store_dir, stem, CellType::float64, {series.size()}, series.values().data());
  Value entry = Value::object();
  entry["file"] = file->name();
  entry["name"] = series.name();
  entry["index"] = label_list(series.dates());
  entry["size"] = file->size();
  entry["crc32"] = files::crc_text(file->crc());
  return {std::move(entry), std::move(file)};
}

void write_store_files(const BinaryPreparedDataStoreBase& store, Value metadata, std::vector<PlannedFile> planned) {
  const fs::path& store_dir = store.store_dir();
  fs::create_directories(store_dir);
  // Recorded first, so that a writer killed after the switch but before removing them leaves them to the
  // next write instead of orphaning them.
  std::string old_names;
  for (const auto& file : current_store_files(store)) old_names += file + "\n";
  if (!old_names.empty()) store_files::append_file(store_dir / PENDING_FILES_NAME, old_names);

  std::vector<WrittenFile> files(planned.size());
  std::vector<fs::path> written;
  try {
    try {
      // Each file's copy and checksum cost processor time, which more cores share.
      store_files::run_all(planned.size(), thread_count(), [&](std::size_t i) {
        throw_if_interrupted();
        files[i] = planned[i].write();
      });
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
    for (std::size_t i = 0; i < planned.size(); ++i)
      section_of(metadata, planned[i].section)[planned[i].key] = std::move(files[i].entry);
    // The last point at which an interruption leaves the old store: after it the new one is complete.
    throw_if_interrupted();
    store._write_metadata(metadata);
  } catch (...) {
    // Nothing names the new files yet; the old store is untouched.
    std::error_code ignored;
    for (const auto& path : written) fs::remove(path, ignored);
    try {
      store._remove_unnamed_files();
    } catch (const std::exception&) {
      // the error in flight matters more; the next write removes what is left
    }
    throw;
  }

  // The new metadata is in place; a failure from here on leaves a complete new store.
  store._write_manifest(store_dir, metadata);
  store._remove_unnamed_files();
}

}  // namespace velmora::backtest::store_rewrite
