#pragma once

// A table answered by a factor service: named, typed columns of equal length (see Column). Columns are
// kept in order; names are unique.
//
// Immutable value type. Every operation returns a new table, and the new table shares the column buffers
// of its input: copying a table, renaming a column or selecting columns copies no cells. This lets callers
// "work on a copy" of an answer of tens of millions of rows for free.

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velmora/column.h"
#include "velmora/host_export.h"

namespace velmora {

class VELMORA_HOST_EXPORT QueryTable {
 public:
  // A table without columns and rows.
  QueryTable();
  // REQUIRES: unique names; every column of the same length.
  explicit QueryTable(std::vector<std::pair<std::string, Column>> columns);

  // A table from rows of cells, each column's kind chosen as ColumnBuilder does.
  // REQUIRES: every row has one cell per name.
  static QueryTable from_rows(const std::vector<std::string>& names, const std::vector<std::vector<Cell>>& rows);

  std::size_t num_rows() const { return rows_; }
  std::size_t num_columns() const { return columns_.size(); }
  bool empty() const { return rows_ == 0; }

  std::vector<std::string> column_names() const;
  bool has_column(const std::string& name) const;
  // The column named `name`, or null.
  const Column* find(const std::string& name) const;
  // REQUIRES: has_column(name).
  const Column& column(const std::string& name) const;
  const std::vector<std::pair<std::string, Column>>& columns() const { return columns_; }

  // The table with the column `from` renamed `to`, in its place; unchanged when there is no `from`.
  // A column already named `to` is dropped first, so names stay unique.
  QueryTable rename(const std::string& from, const std::string& to) const;
  // The table with `column` under `name`: in place of a column of that name, else appended.
  // REQUIRES: column.size() == num_rows(), or the table has no columns.
  QueryTable with_column(const std::string& name, Column column) const;
  // The named columns that exist, in the order given.
  QueryTable select(const std::vector<std::string>& names) const;
  // The rows at `positions`, in that order.
  QueryTable take(const std::vector<std::size_t>& positions) const;

 private:
  std::vector<std::pair<std::string, Column>> columns_;
  std::size_t rows_ = 0;
};

}  // namespace velmora
