#include "velmora/query_table.h"

#include <algorithm>

#include "velmora/column_builder.h"

namespace velmora {

QueryTable::QueryTable() = default;

QueryTable::QueryTable(std::vector<std::pair<std::string, Column>> columns)
    : columns_(std::move(columns)), rows_(columns_.empty() ? 0 : columns_.front().second.size()) {}

QueryTable QueryTable::from_rows(const std::vector<std::string>& names, const std::vector<std::vector<Cell>>& rows) {
  std::vector<ColumnBuilder> builders(names.size());
  for (auto& builder : builders) builder.reserve(rows.size());
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < names.size(); ++c) builders[c].append(row[c]);
  }
  std::vector<std::pair<std::string, Column>> columns;
  columns.reserve(names.size());
  for (std::size_t c = 0; c < names.size(); ++c) columns.emplace_back(names[c], builders[c].finish());
  return QueryTable(std::move(columns));
}

std::vector<std::string> QueryTable::column_names() const {
  std::vector<std::string> names;
  names.reserve(columns_.size());
  for (const auto& [name, column] : columns_) names.push_back(name);
  return names;
}

bool QueryTable::has_column(const std::string& name) const { return find(name) != nullptr; }

const Column* QueryTable::find(const std::string& name) const {
  for (const auto& [column_name, column] : columns_) {
    if (column_name == name) return &column;
  }
  return nullptr;
}

const Column& QueryTable::column(const std::string& name) const { return *find(name); }

QueryTable QueryTable::rename(const std::string& from, const std::string& to) const {
  if (from == to || !has_column(from)) return *this;
  QueryTable out;
  out.rows_ = rows_;
  for (const auto& [name, column] : columns_) {
    if (name == to) continue;
    out.columns_.emplace_back(name == from ? to : name, column);
  }
  return out;
}

QueryTable QueryTable::with_column(const std::string& name, Column column) const {
  QueryTable out = *this;
  out.rows_ = column.size();
  for (auto& [column_name, existing] : out.columns_) {
    if (column_name == name) {
      existing = std::move(column);
      return out;
    }
  }
  out.columns_.emplace_back(name, std::move(column));
  return out;
}

QueryTable QueryTable::select(const std::vector<std::string>& names) const {
  QueryTable out;
  out.rows_ = rows_;
  for (const auto& name : names) {
    if (const Column* column = find(name)) out.columns_.emplace_back(name, *column);
  }
  return out;
}

QueryTable QueryTable::take(const std::vector<std::size_t>& positions) const {
  QueryTable out;
  out.rows_ = positions.size();
  for (const auto& [name, column] : columns_) out.columns_.emplace_back(name, column.take(positions));
  return out;
}

}  // namespace velmora
