// Loading a store: the metadata, then each requested dataset restricted to a date range, as views of the
// mapped files or read into memory.

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "npy_format.h"
#include "store_entries.h"
#include "store_files.h"
#include "store_messages.h"
#include "velmora/backtest/cells.h"
#include "velmora/backtest/store_base.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;

// The rows of a dataset that fall in the date range: one contiguous run [first, last) when the row labels
// ascend (found by binary search), else the positions of the matching labels.
struct RowSelection {
  std::size_t first = 0;
  std::size_t last = 0;
  std::vector<std::size_t> scattered;  // used when not contiguous
  bool contiguous = true;

  std::size_t count() const { return contiguous ? last - first : scattered.size(); }
};

struct DateRange {
  std::optional<std::string> start;
  std::optional<std::string> end;

  bool contains(const std::string& date) const { return (!start || date >= *start) && (!end || date <= *end); }
};

RowSelection select_rows(const Value& index, const DateRange& range) {
  const auto& labels = index.get_ref<const Value::array_t&>();
  auto label = [&](std::size_t i) -> const std::string& { return labels[i].get_ref<const std::string&>(); };
  bool ascending = true;
  for (std::size_t i = 1; i < labels.size() && ascending; ++i) ascending = label(i - 1) < label(i);

  RowSelection selection;
  if (ascending) {
    auto by_text = [](const Value& a, const std::string& b) { return a.get_ref<const std::string&>() < b; };
    auto text_by = [](const std::string& a, const Value& b) { return a < b.get_ref<const std::string&>(); };
    auto first = range.start ? std::lower_bound(labels.begin(), labels.end(), *range.start, by_text) : labels.begin();
    auto last = range.end ? std::upper_bound(labels.begin(), labels.end(), *range.end, text_by) : labels.end();
    selection.first = static_cast<std::size_t>(first - labels.begin());
    selection.last = std::max(selection.first, static_cast<std::size_t>(last - labels.begin()));
    return selection;
  }
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (range.contains(label(i))) selection.scattered.push_back(i);
  }
  bool runs_together = !selection.scattered.empty() &&
                       selection.scattered.back() - selection.scattered.front() + 1 == selection.scattered.size();
  if (selection.scattered.empty() || runs_together) {
    selection.first = selection.scattered.empty() ? 0 : selection.scattered.front();
    selection.last = selection.first + selection.scattered.size();
    selection.scattered.clear();
    return selection;
  }
  selection.contiguous = false;
  return selection;
}

// Label lists built once per load and shared by every dataset with the same labels (the matrices of one
// build share their dates and instruments), which also lets aligned arithmetic skip re-matching them.
class LabelCache {
 public:
  Labels get(const Value& list, const RowSelection& rows) {
    for (const auto& cached : entries_) {
      if (cached.first == rows.first && cached.last == rows.last && rows.contiguous && *cached.list == list) {
        return cached.labels;
      }
    }
    std::vector<std::string> names;
    names.reserve(rows.count());
    if (rows.contiguous) {
      for (std::size_t i = rows.first; i < rows.last; ++i) names.push_back(list[i].get<std::string>());
      check_unique(names);
      Labels labels(std::move(names));
      entries_.push_back({&list, rows.first, rows.last, labels});
      return labels;
    }
    for (auto i : rows.scattered) names.push_back(list[i].get<std::string>());
    check_unique(names);
    return Labels(std::move(names));
  }

  Labels all(const Value& list) {
    RowSelection every;
    every.last = list.size();
    return get(list, every);
  }

 private:
  // A matrix's labels are unique; metadata from a package may say otherwise, and is refused then.
  static void check_unique(const std::vector<std::string>& names) {
    std::unordered_set<std::string_view> seen;
    seen.reserve(names.size());
    for (const auto& name : names) {
      if (!seen.insert(name).second) throw ValueError(store_messages::LABELS_NOT_UNIQUE);
    }
  }

  struct Entry {
    const Value* list;
    std::size_t first;
    std::size_t last;
    Labels labels;
  };
  std::vector<Entry> entries_;
};

// The bytes of one data file: mapped, or opened for positioned reads.
class DataFile {
 public:
  DataFile(const fs::path& path, bool mmap) {
    if (mmap) {
      mapped_ = store_files::map_file(path);
      size_ = mapped_->size;
    } else {
      file_.emplace(path);
      size_ = file_->size();
    }
    name_ = path.filename().string();
  }

  std::uint64_t size() const { return size_; }
  const std::string& name() const { return name_; }
  const std::shared_ptr<const store_files::MappedFile>& mapped() const { return mapped_; }

  void read(std::uint64_t offset, void* out, std::size_t count) const {
    if (count == 0) return;
    if (mapped_) std::memcpy(out, mapped_->data + offset, count);
    else file_->read_at(offset, out, count);
  }

  // The .npy header, checked against the file's size.
  NpyHeader header() const {
    std::string prefix(static_cast<std::size_t>(std::min<std::uint64_t>(size_, NPY_PREFIX_SIZE)), '\0');
    read(0, prefix.data(), prefix.size());
    std::size_t preamble_size = npy_preamble_size(prefix);
    if (preamble_size > size_) throw ValueError(store_messages::NOT_NPY);
    std::string preamble(preamble_size, '\0');
    read(0, preamble.data(), preamble.size());
    NpyHeader header = parse_npy_preamble(preamble);
    std::uint64_t expected = header.data_offset + header.data_bytes();
    if (size_ != expected) throw ValueError(store_messages::file_size_mismatch(name_, expected, size_));
    return header;
  }

 private:
  std::shared_ptr<const store_files::MappedFile> mapped_;
  std::optional<store_files::ReadFile> file_;
  std::uint64_t size_ = 0;
  std::string name_;
};

void check_bool_cells(const std::uint8_t* cells, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (cells[i] > 1) throw ValueError(store_messages::BOOL_CELL_VALUE);
  }
}

std::uint64_t shape_dimension(const Value& shape, std::size_t i) {
  if (!shape[i].is_number_unsigned() && !(shape[i].is_number_integer() && shape[i].get<std::int64_t>() >= 0)) {
    throw ValueError(store_messages::entry_field("shape"));
  }
  return shape[i].get<std::uint64_t>();
}

WideMatrix read_matrix(const fs::path& store_dir, const Value& entry, const DateRange& range, bool mmap,
                       LabelCache& labels) {
  const std::string& dtype = store_entries::text_field(entry, "dtype");
  CellType type = store_entries::storage_type(dtype);
  const Value& index = store_entries::text_list_field(entry, "index");
  const Value& columns = store_entries::text_list_field(entry, "columns");
  auto shape = entry.find("shape");
  if (shape == entry.end() || !shape->is_array() || shape->size() != 2) {
    throw ValueError(store_messages::entry_field("shape"));
  }
  std::uint64_t rows = shape_dimension(*shape, 0), cols = shape_dimension(*shape, 1);
  if (rows != index.size() || cols != columns.size()) throw ValueError(store_messages::SHAPE_MISMATCH);

  DataFile file(store_entries::resolve_file(store_dir, store_entries::text_field(entry, "file")), mmap);
  NpyHeader header = file.header();
  if (header.type != type) throw ValueError(store_messages::file_type_mismatch(file.name(), dtype));
  if (header.shape != std::vector<std::uint64_t>{rows, cols}) {
    throw ValueError(store_messages::file_shape_mismatch(file.name()));
  }

  RowSelection selection = select_rows(index, range);
  Labels row_labels = labels.get(index, selection);
  Labels column_labels = labels.all(columns);
  const std::size_t row_bytes = static_cast<std::size_t>(cols) * header.element_size();
  const std::size_t count = selection.count() * static_cast<std::size_t>(cols);
  auto row_offset = [&](std::size_t row) { return header.data_offset + row * row_bytes; };

  // Zero-copy: a view into the mapping, which stays alive with the matrix. Needs cells aligned for their
  // type, which every numpy-written file gives (the data starts at a multiple of 64 bytes).
  bool aligned = header.data_offset % alignof(double) == 0;
  if (file.mapped() && selection.contiguous && aligned && count > 0) {
    const char* cells = file.mapped()->data + row_offset(selection.first);
    if (type == CellType::boolean) check_bool_cells(reinterpret_cast<const std::uint8_t*>(cells), count);
    return WideMatrix::view(type, cells, file.mapped(), row_labels, column_labels);
  }

  auto read_rows = [&](void* out) {
    char* bytes = static_cast<char*>(out);
    if (selection.contiguous) {
      file.read(row_offset(selection.first), bytes, count * header.element_size());
      return;
    }
    for (std::size_t i = 0; i < selection.scattered.size(); ++i) {
      file.read(row_offset(selection.scattered[i]), bytes + i * row_bytes, row_bytes);
    }
  };
  if (type == CellType::float64) {
    FloatCells cells = allocate_float(count);
    read_rows(cells.get());
    return WideMatrix::from_cells(std::move(cells), row_labels, column_labels);
  }
  BoolCells cells = allocate_bool(count);
  read_rows(cells.get());
  check_bool_cells(cells.get(), count);
  return WideMatrix::from_cells(std::move(cells), row_labels, column_labels);
}

DateSeries read_series(const fs::path& store_dir, const Value& entry, const DateRange& range) {
  const Value& index = store_entries::text_list_field(entry, "index");
  auto name = entry.find("name");
  std::string series_name = name != entry.end() && name->is_string() ? name->get<std::string>() : BENCHMARK_SERIES_NAME;

  DataFile file(store_entries::resolve_file(store_dir, store_entries::text_field(entry, "file")), false);
  NpyHeader header = file.header();
  if (header.type != CellType::float64) throw ValueError(store_messages::file_type_mismatch(file.name(), "float64"));
  if (header.shape != std::vector<std::uint64_t>{index.size()}) {
    throw ValueError(store_messages::file_shape_mismatch(file.name()));
  }
  std::vector<std::string> dates;
  dates.reserve(index.size());
  for (const auto& date : index) dates.push_back(date.get<std::string>());
  if (!std::is_sorted(dates.begin(), dates.end()) || std::adjacent_find(dates.begin(), dates.end()) != dates.end()) {
    throw ValueError(store_messages::DATES_NOT_ASCENDING);
  }
  std::vector<double> values(dates.size());
  file.read(header.data_offset, values.data(), values.size() * sizeof(double));
  DateSeries series(Labels(std::move(dates)), std::move(values), series_name);
  return series.between(range.start ? &*range.start : nullptr, range.end ? &*range.end : nullptr);
}

const Value* section(const Value& metadata, const char* name, const fs::path& path) {
  auto found = metadata.find(name);
  if (found == metadata.end()) return nullptr;
  if (!found->is_object()) {
    throw VelmoraError(store_messages::metadata_unreadable(path, store_messages::entry_field(name)));
  }
  return &*found;
}

}  // namespace

std::optional<Payload> BinaryPreparedDataStoreBase::load(std::optional<std::string> start_date,
                                                         std::optional<std::string> end_date,
                                                         std::optional<std::vector<std::string>> keys,
                                                         bool mmap) const {
  return load_consistently(
      [&](const std::optional<Value>& metadata) { return load_with(metadata, start_date, end_date, keys, mmap); });
}

std::optional<Payload> BinaryPreparedDataStoreBase::load_consistently(const LoadFrom& load_from) const {
  for (int attempt = 1;; ++attempt) {
    std::optional<std::string> bytes = read_metadata_bytes();
    std::optional<Value> metadata;
    if (bytes) metadata = parse_metadata(*bytes);
    try {
      return load_from(metadata);
    } catch (const VelmoraError&) {
      if (attempt >= MAX_LOAD_ATTEMPTS || read_metadata_bytes() == bytes) throw;
    }
  }
}

std::optional<Payload> BinaryPreparedDataStoreBase::load_with(const std::optional<Value>& stored,
                                                              const std::optional<std::string>& start_date,
                                                              const std::optional<std::string>& end_date,
                                                              const std::optional<std::vector<std::string>>& requested,
                                                              bool mmap) const {
  DateRange range{normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)};
  if (!stored) return std::nullopt;
  const Value& metadata = *stored;
  std::optional<std::vector<std::string>> keys = requested;
  const Value* datasets = section(metadata, "datasets", metadata_path());
  const Value* benchmarks = section(metadata, "benchmark_dict", metadata_path());

  if (!keys) {
    keys.emplace();
    if (datasets) {
      for (const auto& [key, entry] : datasets->items()) keys->push_back(key);
    }
  }

  Payload payload;
  auto version = metadata.find("version");
  if (version == metadata.end()) {
    payload.version = version_;
  } else if (version->is_number_integer()) {
    payload.version = version->get<std::int64_t>();
  } else {
    throw VelmoraError(store_messages::metadata_unreadable(metadata_path(), store_messages::entry_field("version")));
  }
  auto meta = metadata.find("meta");
  if (meta != metadata.end()) payload.meta = *meta;

  LabelCache labels;
  for (const auto& key : *keys) {
    if (!datasets || !datasets->contains(key)) throw KeyError(store_messages::dataset_not_in_store(key));
    auto entry = datasets->find(key);
    try {
      if (!entry->is_object()) throw ValueError(store_messages::entry_field("file"));
      payload.data.set_matrix(key, read_matrix(store_dir_, *entry, range, mmap, labels));
    } catch (const std::exception& failure) {
      std::throw_with_nested(VelmoraError(store_messages::dataset_unreadable(key, failure.what())));
    }
  }
  if (benchmarks) {
    BenchmarkDict dict;
    for (const auto& [name, entry] : benchmarks->items()) {
      try {
        if (!entry.is_object()) throw ValueError(store_messages::entry_field("file"));
        dict.set(name, read_series(store_dir_, entry, range));
      } catch (const std::exception& failure) {
        std::throw_with_nested(VelmoraError(store_messages::benchmark_unreadable(name, failure.what())));
      }
    }
    payload.data.set_benchmark_dict(std::move(dict));
  }
  return payload;
}

}  // namespace velmora::backtest
