#include "update/extended_file.h"

#include <algorithm>
#include <cstring>

#include "npy_format.h"
#include "update/row_join.h"
#include "store_entries.h"
#include "store_messages.h"
#include "velmora/errors.h"

namespace velmora::backtest::update {

namespace {

namespace fs = std::filesystem;
using store_files::NewFile;
using store_files::ReadFile;

std::vector<std::string> texts(const Value& list) {
  std::vector<std::string> out;
  out.reserve(list.size());
  for (const auto& text : list) out.push_back(text.get<std::string>());
  return out;
}

// The stored file of a dataset, checked against its entry.
struct StoredFile {
  std::unique_ptr<ReadFile> file;
  std::string preamble;
  NpyHeader header;
  std::vector<std::string> index;
  Labels columns;
};

StoredFile open_stored(const fs::path& store_dir, const std::string& key, const Value& entry, CellType type) {
  StoredFile stored;
  const std::string& name = store_entries::text_field(entry, "file");
  stored.index = texts(store_entries::text_list_field(entry, "index"));
  stored.columns = Labels(texts(store_entries::text_list_field(entry, "columns")));
  stored.file = std::make_unique<ReadFile>(store_entries::resolve_file(store_dir, name));
  try {
    std::string prefix(std::min<std::uint64_t>(NPY_PREFIX_SIZE, stored.file->size()), '\0');
    stored.file->read_at(0, prefix.data(), prefix.size());
    stored.preamble.resize(npy_preamble_size(prefix));
    if (stored.preamble.size() > stored.file->size()) throw ValueError(store_messages::NPY_HEADER_UNREADABLE);
    stored.file->read_at(0, stored.preamble.data(), stored.preamble.size());
    stored.header = parse_npy_preamble(stored.preamble);
  } catch (const ValueError& failure) {
    std::throw_with_nested(VelmoraError(store_messages::dataset_unreadable(key, failure.what())));
  }
  const std::vector<std::uint64_t> shape{stored.index.size(), stored.columns.size()};
  if (stored.header.type != type || stored.header.shape != shape)
    throw VelmoraError(store_messages::dataset_unreadable(key, store_messages::file_shape_mismatch(name)));
  const std::uint64_t expected = stored.preamble.size() + stored.header.data_bytes();
  if (stored.file->size() != expected)
    throw VelmoraError(
        store_messages::dataset_unreadable(key, store_messages::file_size_mismatch(name, expected, stored.file->size())));
  return stored;
}

// The CRC-32 of the stored cells: from the entry's checksum of the whole file, less its preamble, when the
// entry records one; read from the file otherwise.
std::uint32_t stored_cells_crc(const Value& entry, const StoredFile& stored) {
  const std::uint64_t cells = stored.header.data_bytes();
  auto recorded = entry.find("crc32");
  if (recorded != entry.end() && recorded->is_string() && recorded->get_ref<const std::string&>().size() == 8) {
    const std::uint32_t whole = static_cast<std::uint32_t>(std::stoul(recorded->get<std::string>(), nullptr, 16));
    const std::uint32_t preamble = files::crc32_update(0, stored.preamble.data(), stored.preamble.size());
    // crc(P + C) = shift(crc(P), |C|) ^ crc(C), and shift(crc(P), |C|) = combine(crc(P), 0, |C|).
    return whole ^ files::crc32_combine(preamble, 0, cells);
  }
  std::uint32_t crc = 0;
  std::vector<char> buffer(std::size_t{4} << 20);
  for (std::uint64_t done = 0; done < cells;) {
    auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), cells - done));
    stored.file->read_at(stored.preamble.size() + done, buffer.data(), chunk);
    crc = files::crc32_update(crc, buffer.data(), chunk);
    done += chunk;
  }
  return crc;
}

const void* cells_of(const WideMatrix& matrix) {
  return matrix.cell_type() == CellType::float64 ? static_cast<const void*>(matrix.float_cells())
                                                 : static_cast<const void*>(matrix.bool_cells());
}

// The kept rows laid out over the new columns, row by row into one reused buffer.
template <typename Cell>
void write_laid_out_rows(NewFile& file, const StoredFile& stored, std::size_t kept_rows, const Labels& columns,
                         const WideMatrix* changed, const Labels* changed_columns, Cell missing) {
  const auto mapped = store_files::map_file(stored.file->path());
  const Cell* old_cells = reinterpret_cast<const Cell*>(mapped->data + stored.preamble.size());
  const std::size_t old_cols = stored.columns.size();
  const Cell* changed_cells = changed ? static_cast<const Cell*>(cells_of(*changed)) : nullptr;
  // Per new column: where its kept cells come from.
  enum class From : std::uint8_t { stored, changed, missing };
  std::vector<From> from(columns.size(), From::missing);
  std::vector<std::size_t> at(columns.size(), 0);
  for (std::size_t j = 0; j < columns.size(); ++j) {
    if (changed && changed_columns->position(columns[j])) {
      from[j] = From::changed;
      at[j] = *changed->column_labels().position(columns[j]);
    } else if (auto old = stored.columns.position(columns[j])) {
      from[j] = From::stored;
      at[j] = *old;
    }
  }
  const std::size_t changed_cols = changed ? changed->cols() : 0;
  std::vector<Cell> row(columns.size());
  for (std::size_t r = 0; r < kept_rows; ++r) {
    for (std::size_t j = 0; j < columns.size(); ++j) {
      switch (from[j]) {
        case From::stored: row[j] = old_cells[r * old_cols + at[j]]; break;
        case From::changed: row[j] = changed_cells[r * changed_cols + at[j]]; break;
        case From::missing: row[j] = missing; break;
      }
    }
    file.write(row.data(), row.size() * sizeof(Cell));
  }
}

}  // namespace

store_rewrite::WrittenFile write_extended(const fs::path& store_dir, const std::string& key,
                                          const DatasetExtension& extension, bool& copied) {
  const CellType type = store_entries::storage_type(extension.dtype);
  const StoredFile stored = open_stored(store_dir, key, *extension.stored_entry, type);
  const std::size_t kept_rows = static_cast<std::size_t>(
      std::lower_bound(stored.index.begin(), stored.index.end(), extension.recompute_from) - stored.index.begin());
  WideMatrix tail = rows_from(extension.tail, extension.recompute_from);
  if (tail.cell_type() != type) tail = tail.astype(type);
  const Labels& columns = tail.column_labels();
  const std::size_t element = type == CellType::float64 ? sizeof(double) : 1;
  const std::size_t row_bytes = columns.size() * element;
  const std::uint64_t rows = kept_rows + tail.rows();
  const std::string preamble = npy_preamble(type, {rows, columns.size()});
  const auto* tail_bytes = static_cast<const char*>(cells_of(tail));
  const std::size_t tail_size = tail.rows() * row_bytes;

  bool touches_changed = false;
  if (extension.changed)
    for (const auto& column : *extension.changed_columns) touches_changed = touches_changed || columns.position(column);
  // The stored rows from the kept ones on are overwritten by the first new rows, so there must be as many.
  const std::size_t replaced_size = (stored.index.size() - kept_rows) * row_bytes;
  copied = columns == stored.columns && !touches_changed && tail_size >= replaced_size;

  std::unique_ptr<NewFile> file;
  if (copied) {
    file = store_rewrite::new_data_file(store_dir, extension.stem, 0);
    file->write(preamble.data(), preamble.size());
    file->append_copy(*stored.file, stored.preamble.size(), stored.header.data_bytes(),
                      stored_cells_crc(*extension.stored_entry, stored));
    std::vector<char> replaced(replaced_size);
    stored.file->read_at(stored.preamble.size() + kept_rows * row_bytes, replaced.data(), replaced.size());
    file->replace_last(replaced_size, files::crc32_update(0, replaced.data(), replaced.size()), tail_bytes);
    file->write(tail_bytes + replaced_size, tail_size - replaced_size);
  } else {
    if (extension.changed) {
      const auto& labels = extension.changed->row_labels().names();
      if (labels.size() < kept_rows || !std::equal(stored.index.begin(), stored.index.begin() + kept_rows, labels.begin()))
        throw std::logic_error("changed columns derived over other rows than the store's: " + key);
    }
    const WideMatrix changed = extension.changed ? extension.changed->astype(type) : WideMatrix();
    const WideMatrix* changed_cells = extension.changed ? &changed : nullptr;
    file = store_rewrite::new_data_file(store_dir, extension.stem, preamble.size() + rows * row_bytes);
    file->write(preamble.data(), preamble.size());
    if (type == CellType::float64) {
      write_laid_out_rows<double>(*file, stored, kept_rows, columns, changed_cells, extension.changed_columns, NaN);
    } else {
      write_laid_out_rows<std::uint8_t>(*file, stored, kept_rows, columns, changed_cells, extension.changed_columns, 0);
    }
    file->write(tail_bytes, tail_size);
  }
  file->start_writeback();

  std::vector<std::string> index(stored.index.begin(), stored.index.begin() + static_cast<std::ptrdiff_t>(kept_rows));
  index.insert(index.end(), tail.row_labels().begin(), tail.row_labels().end());
  Value entry = Value::object();
  entry["file"] = file->name();
  entry["dtype"] = extension.dtype;
  entry["shape"] = Value::array({rows, columns.size()});
  entry["index"] = store_rewrite::label_list(Labels(std::move(index)));
  entry["columns"] = store_rewrite::label_list(columns);
  entry["size"] = file->size();
  entry["crc32"] = files::crc_text(file->crc());
  return {std::move(entry), std::move(file)};
}

}  // namespace velmora::backtest::update
