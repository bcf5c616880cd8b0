#pragma once

// Reading and naming the entries of store metadata: the fields of a dataset entry, the storage types, the
// file names the store gives its data files, and the set of files a metadata map names.

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "velmora/backtest/wide_matrix.h"
#include "velmora/value.h"

namespace velmora::backtest::store_entries {

// "float64" → float64, "bool" → boolean. Throws ValueError for any other name.
CellType storage_type(const std::string& dtype);

// The text field `name` of a metadata entry. Throws ValueError naming the field when absent or not text.
const std::string& text_field(const Value& entry, const char* name);
// The list-of-text field `name` of a metadata entry (the list itself). Throws ValueError likewise.
const Value& text_list_field(const Value& entry, const char* name);

// The path of a file that an entry names, relative to the store directory. Throws ValueError for an
// absolute path or one with ".." parts, so that metadata from a package can only name files inside the store.
std::filesystem::path resolve_file(const std::filesystem::path& store_dir, const std::string& file);

// The readable part of a data file's name for `key`: letters, digits, ".", "_" and "-" kept, every other
// byte written as %XX, at most 120 characters.
std::string file_stem(const std::string& key);

// The metadata key under which a store keeps the source matrices an update needs, and its map of them
// (factor name → dataset entry).
inline constexpr const char* UPDATE_BASIS_KEY = "update_basis";
inline constexpr const char* UPDATE_BASIS_SOURCES_KEY = "sources";

// The entries of `metadata` that name files: those of "datasets", "benchmark_dict" and the update basis's
// "sources", in that order. Sections that are absent or not maps are skipped.
std::vector<const Value*> file_entries(const Value& metadata);

// The files (relative paths as written) that the entries of `metadata` name (see file_entries).
std::set<std::string> named_files(const Value& metadata);

}  // namespace velmora::backtest::store_entries
