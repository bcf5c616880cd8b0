#include "sqlite/sqlite_statements.h"

#include <vector>

#include "date_keys.h"
#include "velmora/errors.h"

namespace velmora::sqlite_io {

void fail(const std::filesystem::path& path, const std::string& problem) {
  throw VelmoraError("factor database " + path.string() + ": " + problem);
}

Database open_reader(const std::filesystem::path& path) {
  sqlite3* raw = nullptr;
  int code = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);
  if (code != SQLITE_OK) fail(path, std::string("cannot be opened: ") + (raw ? sqlite3_errmsg(raw) : "out of memory"));
  return db;
}

Statement prepare(sqlite3* db, const std::filesystem::path& path, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  int code = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  Statement statement(raw);
  if (code == SQLITE_NOTADB) fail(path, "not a SQLite database");
  if (code != SQLITE_OK) fail(path, std::string("query failed: ") + sqlite3_errmsg(db));
  return statement;
}

void bind_text(sqlite3_stmt* statement, int position, const std::string& text) {
  sqlite3_bind_text(statement, position, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string placeholders(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += i ? ", ?" : "?";
  return text;
}

std::optional<QueryTable> collect(sqlite3* db, const std::filesystem::path& path, sqlite3_stmt* statement) {
  int count = sqlite3_column_count(statement);
  std::vector<ColumnBuilder> builders(static_cast<std::size_t>(count));
  int code;
  while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
    for (int c = 0; c < count; ++c) append_value(builders[static_cast<std::size_t>(c)], sqlite3_column_value(statement, c));
  }
  if (code != SQLITE_DONE) fail(path, std::string("query failed: ") + sqlite3_errmsg(db));
  if (builders.empty() || builders.front().size() == 0) return std::nullopt;
  std::vector<std::pair<std::string, Column>> columns;
  for (int c = 0; c < count; ++c) {
    columns.emplace_back(sqlite3_column_name(statement, c), builders[static_cast<std::size_t>(c)].finish());
  }
  return QueryTable(std::move(columns));
}

DateRange::DateRange(const std::optional<std::string>& start_date, const std::optional<std::string>& end_date) {
  if (auto key = detail::bound_key(start_date)) start = detail::dashed(*key);
  if (auto key = detail::bound_key(end_date)) end = detail::dashed(*key);
}

std::string DateRange::sql() const {
  return std::string(start ? " AND date >= ?" : "") + (end ? " AND date <= ?" : "");
}

int DateRange::bind(sqlite3_stmt* statement, int next) const {
  if (start) bind_text(statement, next++, *start);
  if (end) bind_text(statement, next++, *end);
  return next;
}

}  // namespace velmora::sqlite_io
