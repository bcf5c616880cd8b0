#include "velmora/sqlite_factor_service.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string_view>
#include <system_error>
#include <thread>

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
  // Further read-only connections for reading date ranges in parallel, opened on first use.
  std::vector<std::unique_ptr<sqlite3, DatabaseCloser>> readers;
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

std::unique_ptr<sqlite3, DatabaseCloser> open_reader(const std::filesystem::path& path) {
  sqlite3* raw = nullptr;
  int code = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<sqlite3, DatabaseCloser> db(raw);
  if (code != SQLITE_OK) fail(path, std::string("cannot be opened: ") + (raw ? sqlite3_errmsg(raw) : "out of memory"));
  return db;
}

// The first (`aggregate` "min") or last ("max") stored date text of one factor within [start, end]; each is
// a single index probe. Nothing when the factor has no row there.
std::optional<std::string> date_bound(sqlite3* db, const std::filesystem::path& path, const char* aggregate,
                                      const std::string& name, const std::string& start, const std::string& end) {
  Statement statement = prepare(db, path,
                                std::string("SELECT ") + aggregate +
                                    "(date) FROM factor_values WHERE factor = ? AND date >= ? AND date <= ?");
  bind_text(statement.get(), 1, name);
  bind_text(statement.get(), 2, start);
  bind_text(statement.get(), 3, end);
  if (sqlite3_step(statement.get()) != SQLITE_ROW || sqlite3_column_type(statement.get(), 0) != SQLITE_TEXT)
    return std::nullopt;
  return std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0)));
}

std::int64_t days_of(std::int32_t yyyymmdd) {
  using namespace std::chrono;
  year_month_day ymd{year{yyyymmdd / 10000}, month{static_cast<unsigned>(yyyymmdd / 100 % 100)},
                     day{static_cast<unsigned>(yyyymmdd % 100)}};
  return sys_days{ymd}.time_since_epoch().count();
}

std::string dashed_day(std::int64_t days) {
  using namespace std::chrono;
  year_month_day ymd{sys_days{std::chrono::days{days}}};
  return detail::dashed(static_cast<std::int32_t>(static_cast<int>(ymd.year()) * 10000 +
                                                  static_cast<int>(static_cast<unsigned>(ymd.month())) * 100 +
                                                  static_cast<int>(static_cast<unsigned>(ymd.day()))));
}

// The answers of every part joined in order, each column the concatenation of the parts' columns. False
// when a column's parts differ in kind or mix kinds: a single read chooses kinds over all rows at once, so
// only parts of one plain kind are sure to join into the same column.
bool join_parts(std::vector<std::optional<QueryTable>>& parts, std::optional<QueryTable>& answer) {
  std::vector<QueryTable> present;
  for (auto& part : parts)
    if (part) present.push_back(std::move(*part));
  answer = std::nullopt;
  if (present.empty()) return true;
  std::vector<std::pair<std::string, Column>> columns;
  for (const std::string& name : present.front().column_names()) {
    std::vector<Column> pieces;
    for (const QueryTable& part : present) {
      pieces.push_back(part.column(name));
      if (pieces.back().type() != pieces.front().type() || pieces.back().type() == ColumnType::variant) return false;
    }
    columns.emplace_back(name, Column::concat(pieces));
  }
  answer = QueryTable(std::move(columns));
  return true;
}

// One factor over [start, end], read as `count` consecutive date ranges at once, one connection each.
// The ranges split the calendar between the first and the last stored date evenly; joined in range order
// the rows come in the same order as one query's (factor, date, rowid). Returns false when the dates
// cannot be split or the parts cannot be joined; the caller then reads the factor in one piece.
bool read_date_ranges(sqlite3* db, std::vector<std::unique_ptr<sqlite3, DatabaseCloser>>& readers,
                      const std::filesystem::path& path, std::size_t count, const std::string& name,
                      const std::string& start, const std::string& end, std::optional<QueryTable>& answer) {
  auto first = date_bound(db, path, "min", name, start, end);
  auto last = date_bound(db, path, "max", name, start, end);
  if (!first || !last) {
    answer = std::nullopt;  // no row in the range
    return true;
  }
  auto first_key = detail::date_key(*first), last_key = detail::date_key(*last);
  if (!first_key || !last_key) return false;
  const std::int64_t first_day = days_of(*first_key), span = days_of(*last_key) - first_day;
  count = std::min<std::size_t>(count, static_cast<std::size_t>(std::max<std::int64_t>(1, span)));
  if (count < 2) return false;
  while (readers.size() + 1 < count) readers.push_back(open_reader(path));

  // Part i holds the dates in [bounds[i], bounds[i + 1]), the last one up to `end` inclusive.
  std::vector<std::string> bounds = {start};
  for (std::size_t i = 1; i < count; ++i)
    bounds.push_back(dashed_day(first_day + span * static_cast<std::int64_t>(i) / static_cast<std::int64_t>(count)));
  bounds.push_back(end);

  std::vector<std::optional<QueryTable>> parts(count);
  std::vector<std::exception_ptr> failures(count);
  auto read_part = [&](std::size_t i) {
    try {
      sqlite3* part_db = i == 0 ? db : readers[i - 1].get();
      bool last_part = i + 1 == count;
      Statement statement = prepare(part_db, path,
                                    std::string("SELECT order_book_id, date, factor, value FROM factor_values "
                                                "WHERE factor = ? AND date >= ? AND date ") +
                                        (last_part ? "<=" : "<") + " ? ORDER BY factor, date, rowid");
      bind_text(statement.get(), 1, name);
      bind_text(statement.get(), 2, bounds[i]);
      bind_text(statement.get(), 3, bounds[i + 1]);
      parts[i] = collect(part_db, path, statement.get());
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t i = 1; i < count; ++i) workers.emplace_back(read_part, i);
  read_part(0);
  for (auto& worker : workers) worker.join();
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
  return join_parts(parts, answer);
}

}  // namespace

SqliteFactorService::SqliteFactorService(std::filesystem::path database, std::size_t read_threads)
    : path_(std::move(database)),
      read_threads_(read_threads ? read_threads : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4)) {
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
  if (names.size() == 1 && range.start && range.end && read_threads_ > 1) {
    std::optional<QueryTable> answer;
    if (read_date_ranges(connection_->db.get(), connection_->readers, path_, read_threads_, names.front(),
                         *range.start, *range.end, answer))
      return answer;
  }
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
