// The store's check of itself: the manifest against the files, and the metadata against the files and
// against itself, reported as one text per fault.

#include <algorithm>
#include <string>
#include <vector>

#include "npy_format.h"
#include "store_entries.h"
#include "store_files.h"
#include "store_messages.h"
#include "velmora/backtest/store_base.h"
#include "velmora/errors.h"
#include "velmora/store_manifest.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;

// The header of the .npy file at `path`, checked against the file's size. Throws ValueError or
// VelmoraError with the reason.
NpyHeader read_header(const fs::path& path) {
  store_files::ReadFile file(path);
  std::string prefix(static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), NPY_PREFIX_SIZE)), '\0');
  file.read_at(0, prefix.data(), prefix.size());
  std::size_t preamble_size = npy_preamble_size(prefix);
  if (preamble_size > file.size()) throw ValueError(store_messages::NOT_NPY);
  std::string preamble(preamble_size, '\0');
  file.read_at(0, preamble.data(), preamble.size());
  NpyHeader header = parse_npy_preamble(preamble);
  std::uint64_t expected = header.data_offset + header.data_bytes();
  std::string name = path.filename().string();
  if (file.size() != expected) throw ValueError(store_messages::file_size_mismatch(name, expected, file.size()));
  return header;
}

std::uint64_t dimension(const Value& shape, std::size_t i) {
  const Value& value = shape[i];
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return value.get<std::uint64_t>();
  throw ValueError(store_messages::entry_field("shape"));
}

// Checks one dataset entry and its file; throws with the reason of the first fault.
void check_dataset(const fs::path& store_dir, const Value& entry) {
  if (!entry.is_object()) throw ValueError(store_messages::entry_field("file"));
  const std::string& file = store_entries::text_field(entry, "file");
  const std::string& dtype = store_entries::text_field(entry, "dtype");
  CellType type = store_entries::storage_type(dtype);
  auto shape = entry.find("shape");
  if (shape == entry.end() || !shape->is_array() || shape->size() != 2) {
    throw ValueError(store_messages::entry_field("shape"));
  }
  std::vector<std::uint64_t> dims{dimension(*shape, 0), dimension(*shape, 1)};
  const Value& index = store_entries::text_list_field(entry, "index");
  const Value& columns = store_entries::text_list_field(entry, "columns");
  if (dims[0] != index.size() || dims[1] != columns.size()) throw ValueError(store_messages::SHAPE_MISMATCH);

  fs::path path = store_entries::resolve_file(store_dir, file);
  NpyHeader header = read_header(path);
  if (header.type != type) throw ValueError(store_messages::file_type_mismatch(file, dtype));
  if (header.shape != dims) throw ValueError(store_messages::file_shape_mismatch(file));
}

// Checks one benchmark series entry and its file: one float64 value per date of "index".
void check_series(const fs::path& store_dir, const Value& entry) {
  if (!entry.is_object()) throw ValueError(store_messages::entry_field("file"));
  const std::string& file = store_entries::text_field(entry, "file");
  const Value& index = store_entries::text_list_field(entry, "index");
  NpyHeader header = read_header(store_entries::resolve_file(store_dir, file));
  if (header.type != CellType::float64) throw ValueError(store_messages::file_type_mismatch(file, "float64"));
  if (header.shape != std::vector<std::uint64_t>{index.size()}) {
    throw ValueError(store_messages::file_shape_mismatch(file));
  }
}

}  // namespace

std::vector<std::string> BinaryPreparedDataStoreBase::faults() const {
  std::vector<std::string> found = manifest_faults(store_dir_);

  std::optional<Value> metadata;
  try {
    metadata = read_metadata();
  } catch (const VelmoraError& error) {
    found.emplace_back(error.what());
    return found;
  }
  if (!metadata) {
    found.push_back(store_messages::metadata_missing(metadata_path()));
    return found;
  }

  struct Section {
    const char* name;
    void (*check)(const fs::path&, const Value&);
    std::string (*describe)(const std::string&, const std::string&);
  };
  for (const Section& section : {Section{"datasets", check_dataset, store_messages::dataset_unreadable},
                                 Section{"benchmark_dict", check_series, store_messages::benchmark_unreadable}}) {
    auto entries = metadata->find(section.name);
    if (entries == metadata->end()) continue;
    if (!entries->is_object()) {
      found.push_back(store_messages::metadata_unreadable(metadata_path(), store_messages::entry_field(section.name)));
      continue;
    }
    for (const auto& [key, entry] : entries->items()) {
      try {
        section.check(store_dir_, entry);
      } catch (const Error& error) {
        found.push_back(section.describe(key, error.what()));
      }
    }
  }
  return found;
}

}  // namespace velmora::backtest
