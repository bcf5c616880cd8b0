#include "support/sqlite_fixture.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <type_traits>

namespace velmora::testing {

namespace {

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, Closer>;
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

Database open(const std::filesystem::path& path, int flags) {
  sqlite3* raw = nullptr;
  int code = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Database db(raw);
  if (code != SQLITE_OK) throw std::runtime_error("cannot open test database " + path.string());
  return db;
}

void run(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw std::runtime_error("test database: " + text + " in " + sql);
  }
}

Statement prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("test database: ") + sqlite3_errmsg(db));
  }
  return Statement(raw);
}

void bind(sqlite3_stmt* statement, int position, const Cell& cell) {
  std::visit(
      [&](const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          sqlite3_bind_null(statement, position);
        } else if constexpr (std::is_same_v<T, double>) {
          sqlite3_bind_double(statement, position, value);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          sqlite3_bind_int64(statement, position, value);
        } else if constexpr (std::is_same_v<T, std::string>) {
          sqlite3_bind_text(statement, position, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        } else {
          sqlite3_bind_int64(statement, position, value.micros);
        }
      },
      cell);
}

void step_done(sqlite3* db, sqlite3_stmt* statement) {
  if (sqlite3_step(statement) != SQLITE_DONE) throw std::runtime_error(std::string("test database: ") + sqlite3_errmsg(db));
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

}  // namespace

void write_factor_database(const std::filesystem::path& path, const std::vector<FactorRow>& factor_rows,
                           const IndexDailyRows& index_rows) {
  if (std::filesystem::exists(path)) throw std::runtime_error("test database exists already: " + path.string());
  Database db = open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  run(db.get(), "BEGIN");
  run(db.get(), "CREATE TABLE factor_values (factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value)");
  run(db.get(), "CREATE INDEX factor_values_factor_date ON factor_values(factor, date)");
  std::string columns, marks;
  for (const auto& column : index_rows.columns) {
    columns += (columns.empty() ? "" : ", ") + column;
    marks += marks.empty() ? "?" : ", ?";
  }
  run(db.get(), "CREATE TABLE index_daily (" + columns + ")");

  Statement insert = prepare(db.get(), "INSERT INTO factor_values (factor, order_book_id, date, value) VALUES (?, ?, ?, ?)");
  for (const auto& row : factor_rows) {
    bind(insert.get(), 1, row.factor);
    bind(insert.get(), 2, row.order_book_id);
    bind(insert.get(), 3, row.date);
    bind(insert.get(), 4, row.value);
    step_done(db.get(), insert.get());
  }
  Statement insert_index = prepare(db.get(), "INSERT INTO index_daily VALUES (" + marks + ")");
  for (const auto& row : index_rows.rows) {
    for (std::size_t c = 0; c < row.size(); ++c) bind(insert_index.get(), static_cast<int>(c + 1), row[c]);
    step_done(db.get(), insert_index.get());
  }
  run(db.get(), "COMMIT");
}

void execute_sql(const std::filesystem::path& path, const std::string& sql, bool create) {
  Database db = open(path, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0));
  run(db.get(), sql);
}

std::vector<std::vector<Cell>> query_rows(const std::filesystem::path& path, const std::string& sql) {
  Database db = open(path, SQLITE_OPEN_READONLY);
  Statement statement = prepare(db.get(), sql);
  std::vector<std::vector<Cell>> rows;
  int code;
  while ((code = sqlite3_step(statement.get())) == SQLITE_ROW) {
    std::vector<Cell>& row = rows.emplace_back();
    for (int c = 0; c < sqlite3_column_count(statement.get()); ++c) {
      switch (sqlite3_column_type(statement.get(), c)) {
        case SQLITE_NULL:
          row.emplace_back();
          break;
        case SQLITE_INTEGER:
          row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement.get(), c)));
          break;
        case SQLITE_FLOAT:
          row.emplace_back(sqlite3_column_double(statement.get(), c));
          break;
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), c));
          row.emplace_back(std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), c))));
        }
      }
    }
  }
  if (code != SQLITE_DONE) throw std::runtime_error(std::string("test database: ") + sqlite3_errmsg(db.get()));
  return rows;
}

}  // namespace velmora::testing
