#include "velmora/sqlite_factor_service.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "date_keys.h"
#include "sqlite/sqlite_statements.h"
#include "sqlite/table_scan.h"
#include "velmora/column_builder.h"
#include "velmora/errors.h"

namespace velmora {

using namespace sqlite_io;

struct SqliteFactorService::Connection {
  Database db;
  // Further read-only connections for reading date or rowid ranges in parallel, opened on first use.
  std::vector<Database> readers;
  // The codes of the factor columns of the pieces a pass hands over.
  ZeroCodes factor_codes;
};

namespace {

void require_table(sqlite3* db, const std::filesystem::path& path, const char* table) {
  Statement statement = prepare(db, path, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  bind_text(statement.get(), 1, table);
  int code = sqlite3_step(statement.get());
  if (code == SQLITE_NOTADB) fail(path, "not a SQLite database");
  if (code == SQLITE_DONE) fail(path, std::string("lacks the table ") + table);
  if (code != SQLITE_ROW) fail(path, std::string("query failed: ") + sqlite3_errmsg(db));
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
bool read_date_ranges(sqlite3* db, std::vector<Database>& readers,
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

// Reads `names` in the index's order and hands the rows of each factor to `consume` as soon as the
// factor's last row has arrived. REQUIRES: every matching factor cell is a text.
void stream_index_read(sqlite3* db, const std::filesystem::path& path, const std::vector<std::string>& names,
                       const DateRange& range, const std::function<void(QueryTable piece)>& consume) {
  Statement statement = prepare(db, path,
                                "SELECT order_book_id, date, factor, value FROM factor_values WHERE factor IN (" +
                                    placeholders(names.size()) + ")" + range.sql() + " ORDER BY factor, date, rowid");
  int position = 1;
  for (const auto& name : names) bind_text(statement.get(), position++, name);
  range.bind(statement.get(), position);

  std::vector<ColumnBuilder> builders(4);
  std::string factor;
  auto hand_over = [&] {
    if (builders.front().size() == 0) return;
    std::vector<std::pair<std::string, Column>> columns;
    for (int c = 0; c < 4; ++c) columns.emplace_back(sqlite3_column_name(statement.get(), c), builders[static_cast<std::size_t>(c)].finish());
    consume(QueryTable(std::move(columns)));
  };
  int code;
  while ((code = sqlite3_step(statement.get())) == SQLITE_ROW) {
    std::string_view current = text_of(sqlite3_column_value(statement.get(), 2));
    if (current != factor) {
      hand_over();
      factor = current;
    }
    for (int c = 0; c < 4; ++c) append_value(builders[static_cast<std::size_t>(c)], sqlite3_column_value(statement.get(), c));
  }
  if (code != SQLITE_DONE) fail(path, std::string("query failed: ") + sqlite3_errmsg(db));
  hand_over();
}

}  // namespace

// A request that selects at least this share of the table's rows is read by a scan of the whole table. A
// read through the index costs several times a scanned row per row it returns (about ten times where rows
// of one factor lie scattered, about three times where they lie together), so a scan pays from about a
// third of the table on either layout.
constexpr double SCAN_SHARE = 0.3;

struct SqliteFactorService::ReadAhead {
  std::optional<std::string> start, end;  // the range read, as the reads' DateRange gives it
  std::set<std::string> unread;            // names read ahead and not yet asked for
  std::map<std::string, QueryTable> pieces;
};

struct SqliteFactorService::ScanPlan {
  std::vector<std::string> names;  // distinct, ascending by bytes
  Selection selection;
};

std::optional<SqliteFactorService::ScanPlan> SqliteFactorService::scan_plan(const std::vector<std::string>& names,
                                                                          const DateRange& range,
                                                                          const TableTraits& traits) {
  if (table_scan_ == TableScan::never) return std::nullopt;
  sqlite3* db = connection_->db.get();
  if (!traits.text_factors || !traits.byte_order) return std::nullopt;
  ScanPlan plan;
  plan.names = names;
  std::sort(plan.names.begin(), plan.names.end());
  plan.names.erase(std::unique(plan.names.begin(), plan.names.end()), plan.names.end());
  std::optional<Selection> selection = estimate_selection(db, path_, plan.names, range, table_scan_ == TableScan::always);
  if (!selection) return std::nullopt;
  if (table_scan_ == TableScan::automatic && selection->share < SCAN_SHARE) return std::nullopt;
  plan.selection = std::move(*selection);
  return plan;
}

SqliteFactorService::SqliteFactorService(std::filesystem::path database, std::size_t read_threads, TableScan table_scan)
    : path_(std::move(database)),
      read_threads_(read_threads ? read_threads : std::max<std::size_t>(1, std::thread::hardware_concurrency())),
      table_scan_(table_scan) {
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
  if (std::get_if<std::string>(&factor) && read_ahead_ && read_ahead_->start == range.start &&
      read_ahead_->end == range.end) {
    if (auto unread = read_ahead_->unread.find(names.front()); unread != read_ahead_->unread.end()) {
      read_ahead_->unread.erase(unread);
      auto held = read_ahead_->pieces.extract(names.front());
      if (held.empty()) return std::nullopt;  // read ahead, and without rows
      return with_factor_column(held.mapped(), names.front(), connection_->factor_codes);
    }
  }
  sqlite3* db = connection_->db.get();
  require_table(db, path_, "factor_values");
  if (names.empty()) return std::nullopt;
  if (std::optional<ScanPlan> plan = scan_plan(names, range, table_traits(db, path_))) {
    std::vector<QueryTable> pieces;
    if (scan_factors(db, connection_->readers, path_, read_threads_, plan->names, range, plan->selection,
                     [&](const std::string& name, QueryTable piece) {
                       pieces.push_back(with_factor_column(piece, name, connection_->factor_codes));
                     })) {
      if (pieces.empty()) return std::nullopt;
      if (std::optional<QueryTable> answer = join_pieces(std::move(pieces))) return answer;
    }
  }
  return index_read(names, range);
}

void SqliteFactorService::get_factors_by_factor(const std::vector<std::string>& names,
                                                const std::optional<std::string>& start_date,
                                                const std::optional<std::string>& end_date,
                                                const std::function<void(QueryTable piece)>& consume) {
  DateRange range(start_date, end_date);
  std::lock_guard lock(mutex_);
  sqlite3* db = connection_->db.get();
  require_table(db, path_, "factor_values");
  if (names.empty()) return;
  const TableTraits traits = table_traits(db, path_);
  if (std::optional<ScanPlan> plan = scan_plan(names, range, traits)) {
    if (scan_factors(db, connection_->readers, path_, read_threads_, plan->names, range, plan->selection,
                     [&](const std::string& name, QueryTable piece) {
                       consume(with_factor_column(piece, name, connection_->factor_codes));
                     }))
      return;
  }
  // Rows of one factor follow each other in the index's order only when factors compare by their bytes; a
  // collation may interleave spellings it holds equal, and split one factor over several pieces.
  if (names.size() > 1 && traits.text_factors && traits.byte_order) {
    stream_index_read(db, path_, names, range, consume);
    return;
  }
  std::optional<QueryTable> answer = index_read(names, range);
  if (answer) consume(std::move(*answer));
}

void SqliteFactorService::read_ahead(const std::vector<std::string>& names, const std::optional<std::string>& start_date,
                                     const std::optional<std::string>& end_date) {
  DateRange range(start_date, end_date);
  std::lock_guard lock(mutex_);
  read_ahead_.reset();
  sqlite3* db = connection_->db.get();
  require_table(db, path_, "factor_values");
  if (names.empty()) return;
  // Only a pass over the table is worth reading ahead for: through the index, each read costs the same
  // whenever it is made.
  std::optional<ScanPlan> plan = scan_plan(names, range, table_traits(db, path_));
  if (!plan) return;
  auto ahead = std::make_unique<ReadAhead>();
  ahead->start = range.start;
  ahead->end = range.end;
  if (!scan_factors(db, connection_->readers, path_, read_threads_, plan->names, range, plan->selection,
                    [&](const std::string& name, QueryTable piece) { ahead->pieces.emplace(name, std::move(piece)); }))
    return;
  ahead->unread.insert(plan->names.begin(), plan->names.end());
  read_ahead_ = std::move(ahead);
}

void SqliteFactorService::forget_read_ahead() {
  std::lock_guard lock(mutex_);
  read_ahead_.reset();
}

std::optional<QueryTable> SqliteFactorService::index_read(const std::vector<std::string>& names, const DateRange& range) {
  sqlite3* db = connection_->db.get();
  if (names.size() == 1 && range.start && range.end && read_threads_ > 1) {
    std::optional<QueryTable> answer;
    if (read_date_ranges(db, connection_->readers, path_, read_threads_, names.front(), *range.start, *range.end,
                         answer))
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
