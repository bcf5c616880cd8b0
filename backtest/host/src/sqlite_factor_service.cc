#include "velmora/sqlite_factor_service.h"

#include <sqlite3.h>

#include <string_view>
#include <system_error>

#include "date_keys.h"
#include "velmora/column_builder.h"
#include "velmora/errors.h"

namespace velmora {

namespace {

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

}  // namespace

struct SqliteFactorService::Connection {
  std::unique_ptr<sqlite3, DatabaseCloser> db;
};

namespace {

std::string describe(const std::filesystem::path& path) { return path.string(); }

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& problem) {
  throw VelmoraError("factor database " + describe(path) + ": " + problem);
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

void require_table(sqlite3* db, const std::filesystem::path& path, const char* table) {
  Statement statement = prepare(db, path, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  bind_text(statement.get(), 1, table);
  int code = sqlite3_step(statement.get());
  if (code == SQLITE_NOTADB) fail(path, "not a SQLite database");
  if (code == SQLITE_DONE) fail(path, std::string("lacks the table ") + table);
  if (code != SQLITE_ROW) fail(path, std::string("query failed: ") + sqlite3_errmsg(db));
}

// "?, ?, …" with `count` placeholders.
std::string placeholders(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += i ? ", ?" : "?";
  return text;
}

// The " AND date >= ? AND date <= ?" part for the bounds that are given, in the stored "YYYY-MM-DD" form.
struct DateRange {
  std::optional<std::string> start;
  std::optional<std::string> end;

  DateRange(const std::optional<std::string>& start_date, const std::optional<std::string>& end_date) {
    if (auto key = detail::bound_key(start_date)) start = detail::dashed(*key);
    if (auto key = detail::bound_key(end_date)) end = detail::dashed(*key);
  }
  std::string sql() const {
    return std::string(start ? " AND date >= ?" : "") + (end ? " AND date <= ?" : "");
  }
  void bind(sqlite3_stmt* statement, int next) const {
    if (start) bind_text(statement, next++, *start);
    if (end) bind_text(statement, next, *end);
  }
};

// Steps `statement` to the end, collecting every result column with its stored cell kinds.
std::optional<QueryTable> collect(sqlite3* db, const std::filesystem::path& path, sqlite3_stmt* statement) {
  int count = sqlite3_column_count(statement);
  std::vector<ColumnBuilder> builders(static_cast<std::size_t>(count));
  int code;
  while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
    for (int c = 0; c < count; ++c) {
      ColumnBuilder& builder = builders[static_cast<std::size_t>(c)];
      switch (sqlite3_column_type(statement, c)) {
        case SQLITE_INTEGER:
          builder.append_int(sqlite3_column_int64(statement, c));
          break;
        case SQLITE_FLOAT:
          builder.append_double(sqlite3_column_double(statement, c));
          break;
        case SQLITE_NULL:
          builder.append_missing();
          break;
        default: {  // TEXT, and a BLOB read as its bytes
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
          builder.append_text(std::string_view(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
        }
      }
    }
  }
  if (code != SQLITE_DONE) fail(path, std::string("query failed: ") + sqlite3_errmsg(db));
  if (builders.empty() || builders.front().size() == 0) return std::nullopt;
  std::vector<std::pair<std::string, Column>> columns;
  for (int c = 0; c < count; ++c) {
    columns.emplace_back(sqlite3_column_name(statement, c), builders[static_cast<std::size_t>(c)].finish());
  }
  return QueryTable(std::move(columns));
}

}  // namespace

SqliteFactorService::SqliteFactorService(std::filesystem::path database) : path_(std::move(database)) {
  std::error_code error;
  if (!std::filesystem::exists(path_, error)) fail(path_, "no such file");
  if (std::filesystem::is_directory(path_, error)) fail(path_, "is a directory, not a database file");
  sqlite3* raw = nullptr;
  // Queries are serialised by the service's own mutex, so the connection needs none of its own.
  int code = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  connection_ = std::make_unique<Connection>();
  connection_->db.reset(raw);
  if (code != SQLITE_OK) fail(path_, std::string("cannot be opened: ") + (raw ? sqlite3_errmsg(raw) : "out of memory"));
  // Opening is lazy: reading the schema is what tells a database from any other file.
  Statement statement = prepare(connection_->db.get(), path_, "SELECT count(*) FROM sqlite_master");
  code = sqlite3_step(statement.get());
  if (code == SQLITE_NOTADB) fail(path_, "not a SQLite database");
  if (code != SQLITE_ROW) fail(path_, std::string("cannot be read: ") + sqlite3_errmsg(connection_->db.get()));
}

SqliteFactorService::~SqliteFactorService() = default;

std::optional<QueryTable> SqliteFactorService::get_factors(const FactorSelection& factor,
                                                           const std::optional<std::string>& start_date,
                                                           const std::optional<std::string>& end_date) {
  std::vector<std::string> names;
  if (const auto* name = std::get_if<std::string>(&factor)) {
    names.push_back(*name);
  } else {
    names = std::get<std::vector<std::string>>(factor);
  }
  DateRange range(start_date, end_date);
  std::lock_guard lock(mutex_);
  sqlite3* db = connection_->db.get();
  require_table(db, path_, "factor_values");
  if (names.empty()) return std::nullopt;
  // The index on (factor, date) yields this order without sorting; rowid last makes the later of two
  // stored rows for one instrument and date come last.
  Statement statement = prepare(db, path_,
                                "SELECT order_book_id, date, factor, value FROM factor_values WHERE factor IN (" +
                                    placeholders(names.size()) + ")" + range.sql() + " ORDER BY factor, date, rowid");
  int position = 1;
  for (const auto& name : names) bind_text(statement.get(), position++, name);
  range.bind(statement.get(), position);
  return collect(db, path_, statement.get());
}

std::optional<QueryTable> SqliteFactorService::get_index_daily(const std::vector<std::string>& order_book_ids,
                                                               const std::optional<std::string>& start_date,
                                                               const std::optional<std::string>& end_date) {
  DateRange range(start_date, end_date);
  std::lock_guard lock(mutex_);
  sqlite3* db = connection_->db.get();
  require_table(db, path_, "index_daily");
  if (order_book_ids.empty()) return std::nullopt;
  Statement statement =
      prepare(db, path_,
              "SELECT * FROM index_daily WHERE order_book_id IN (" + placeholders(order_book_ids.size()) + ")" +
                  range.sql() + " ORDER BY rowid");
  int position = 1;
  for (const auto& code : order_book_ids) bind_text(statement.get(), position++, code);
  range.bind(statement.get(), position);
  return collect(db, path_, statement.get());
}

}  // namespace velmora
