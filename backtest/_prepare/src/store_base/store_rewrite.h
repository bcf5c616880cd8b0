#pragma once

// How a store is rewritten, for every writer that replaces its content (a write of a payload, an update):
// each new data file is created under a fresh name, recorded as pending just before, written on several
// threads and synced with the others; only then does the new metadata name them, by atomic rename; then
// the manifest is replaced and the files that the new metadata no longer names are removed.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store_files.h"
#include "velmora/backtest/date_series.h"
#include "velmora/backtest/store_base.h"
#include "velmora/backtest/wide_matrix.h"
#include "velmora/store_pending_files.h"
#include "velmora/value.h"

namespace velmora::backtest::store_rewrite {

// The files a write has created or is replacing and has not yet seen through (velmora/store_pending_files.h).
inline constexpr const char* PENDING_FILES_NAME = STORE_PENDING_FILES_NAME;

// File names of benchmark series and of the update basis's matrices start with these.
inline constexpr const char* BENCHMARK_FILE_PREFIX = "benchmark__";
inline constexpr const char* UPDATE_BASIS_FILE_PREFIX = "basis__";

// A data file written but not yet synced, with the metadata entry that will name it.
struct WrittenFile {
  Value entry;
  std::unique_ptr<store_files::NewFile> file;
};

// Where the entry of a planned file goes in the metadata.
enum class Section { datasets, benchmarks, basis };

// One file of a rewrite: `write` creates it (see new_data_file), and its entry goes under `key` of `section`.
struct PlannedFile {
  Section section;
  std::string key;
  std::function<WrittenFile()> write;
};

// A new data file in `store_dir` named "<stem>.<token>.npy", recorded in the store's pending list before it
// is created. `expected_size` as NewFile takes it (0: written through the page cache).
std::unique_ptr<store_files::NewFile> new_data_file(const std::filesystem::path& store_dir, const std::string& stem,
                                                    std::uint64_t expected_size);

// `matrix` as a new .npy file of storage type `dtype` named after `stem`, its writing to disk started.
WrittenFile write_matrix_file(const std::filesystem::path& store_dir, const std::string& stem,
                              const WideMatrix& matrix, const std::string& dtype);
// `series` as a new one-dimensional float64 .npy file named after `stem`.
WrittenFile write_series_file(const std::filesystem::path& store_dir, const std::string& stem,
                              const DateSeries& series);

// The entry fields "index" or "columns" for `labels`.
Value label_list(const Labels& labels);

// Replaces the content of `store` by `metadata` (whose "datasets", "benchmark_dict" and "update_basis" →
// "sources" sections, where planned files go, the caller has created) and the planned files. On a failure
// before the metadata is in place, the new files are removed and the store is as it was.
// REQUIRES: the caller holds the store's writer lock.
void write_store_files(const BinaryPreparedDataStoreBase& store, Value metadata, std::vector<PlannedFile> files);

}  // namespace velmora::backtest::store_rewrite
