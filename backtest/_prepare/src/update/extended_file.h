#pragma once

// Writing one dataset of an updated store as one sequential pass: the stored rows before the rows derived
// again, then the new rows. When the dataset's columns stay as they were, the stored rows are copied by the
// kernel (shared blocks where the file system can) and their checksum comes from the store's records, so
// their bytes are neither read nor written by us; otherwise each stored row is laid out over the new
// columns, with the cells of the changed columns taken from their derivation.

#include <filesystem>
#include <string>

#include "store_rewrite.h"
#include "velmora/backtest/wide_matrix.h"
#include "velmora/value.h"

namespace velmora::backtest::update {

struct DatasetExtension {
  const Value* stored_entry = nullptr;  // the dataset's entry in the store's metadata
  std::string dtype;                    // storage type of the new file
  std::string stem;                     // readable part of the new file's name
  std::string recompute_from;           // stored rows from this date on are replaced
  // The new rows: every row of `tail` from `recompute_from` on, over the dataset's new columns.
  WideMatrix tail;
  // Every row over the changed columns: the cells of those columns in the stored rows kept. Null: the
  // columns the dataset did not hold are NaN there, and the others keep their stored cells.
  const WideMatrix* changed = nullptr;
  const Labels* changed_columns = nullptr;
};

// The new file and its entry. `copied` tells whether the stored rows were copied as they were. Throws
// VelmoraError naming the dataset when its stored file does not match its entry.
store_rewrite::WrittenFile write_extended(const std::filesystem::path& store_dir, const std::string& key,
                                          const DatasetExtension& extension, bool& copied);

}  // namespace velmora::backtest::update
