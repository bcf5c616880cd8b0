#pragma once

// The pieces every read of the SQLite factor service is made of: owned connections and statements, errors
// that name the database file, the date-range clause, and the step loop that collects typed columns.

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/column_builder.h"
#include "velmora/query_table.h"

namespace velmora::sqlite_io {

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Throws VelmoraError "factor database <path>: <problem>".
[[noreturn]] void fail(const std::filesystem::path& path, const std::string& problem);

// A read-only connection without a mutex of its own (each is used by one thread at a time).
Database open_reader(const std::filesystem::path& path);

Statement prepare(sqlite3* db, const std::filesystem::path& path, const std::string& sql);
void bind_text(sqlite3_stmt* statement, int position, const std::string& text);
// "?, ?, …" with `count` placeholders.
std::string placeholders(std::size_t count);

// The bytes of a TEXT cell, or of any other cell read as text.
inline std::string_view text_of(sqlite3_value* cell) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(cell));
  return {text ? text : "", static_cast<std::size_t>(sqlite3_value_bytes(cell))};
}

// Appends `cell` to `builder`, keeping its stored kind: INTEGER and REAL stay numbers, TEXT (and a BLOB,
// read as its bytes) becomes text, NULL is missing.
inline void append_value(ColumnBuilder& builder, sqlite3_value* cell) {
  switch (sqlite3_value_type(cell)) {
    case SQLITE_INTEGER:
      builder.append_int(sqlite3_value_int64(cell));
      break;
    case SQLITE_FLOAT:
      builder.append_double(sqlite3_value_double(cell));
      break;
    case SQLITE_NULL:
      builder.append_missing();
      break;
    default:
      builder.append_text(text_of(cell));
  }
}

// Steps `statement` to the end, collecting every result column; nothing when there is no row.
std::optional<QueryTable> collect(sqlite3* db, const std::filesystem::path& path, sqlite3_stmt* statement);

// The " AND date >= ? AND date <= ?" part for the bounds that are given, in the stored "YYYY-MM-DD" form.
struct DateRange {
  std::optional<std::string> start;
  std::optional<std::string> end;

  DateRange(const std::optional<std::string>& start_date, const std::optional<std::string>& end_date);
  std::string sql() const;
  // Binds the given bounds from placeholder `next` on; answers the next free placeholder.
  int bind(sqlite3_stmt* statement, int next) const;
};

}  // namespace velmora::sqlite_io
