#include "velmora/sample_database.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <vector>

#include "velmora/errors.h"
#include "velmora/interruption.h"

namespace velmora {

namespace {

// --- SQLite, held by RAII ---------------------------------------------------------------------------------

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw VelmoraError("sample database: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void execute(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, sql);
}

Statement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) fail(db, sql);
  return Statement(raw);
}

// --- Deterministic randomness (the same stream on every platform) -------------------------------------

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 0xD1B54A32D192ED03ULL) {}
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double uniform(double low, double high) { return low + (high - low) * uniform(); }
  bool chance(double p) { return uniform() < p; }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  double normal(double mean, double sd) {
    double u1 = std::max(uniform(), 1e-300), u2 = uniform();
    return mean + sd * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
  }

 private:
  std::uint64_t state_;
};

double round_cents(double price) { return std::round(price * 100.0) / 100.0; }

// --- Calendar ------------------------------------------------------------------------------------------

std::vector<std::string> trading_days(const std::string& start, std::size_t count) {
  using namespace std::chrono;
  bool digits = start.size() == 8 && std::all_of(start.begin(), start.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) throw ValueError("sample start date must be YYYYMMDD: " + start);
  year_month_day ymd{year{std::stoi(start.substr(0, 4))}, month{static_cast<unsigned>(std::stoi(start.substr(4, 2)))},
                     day{static_cast<unsigned>(std::stoi(start.substr(6, 2)))}};
  if (!ymd.ok()) throw ValueError("sample start date is not on the calendar: " + start);
  std::vector<std::string> out;
  for (sys_days d{ymd}; out.size() < count; d += days{1}) {
    weekday wd{d};
    if (wd == Saturday || wd == Sunday) continue;
    year_month_day x{d};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(x.year()), static_cast<unsigned>(x.month()),
                  static_cast<unsigned>(x.day()));
    out.emplace_back(text);
  }
  return out;
}

// --- Instruments ---------------------------------------------------------------------------------------

struct Board {
  const char* prefix;
  const char* exchange;
  unsigned first;  // first three-digit suffix handed out
};
constexpr std::array<Board, 11> BOARDS = {{{"000", "XSHE", 1}, {"600", "XSHG", 0}, {"300", "XSHE", 750},
                                           {"688", "XSHG", 1}, {"002", "XSHE", 0}, {"601", "XSHG", 0},
                                           {"001", "XSHE", 0}, {"603", "XSHG", 0}, {"301", "XSHE", 0},
                                           {"605", "XSHG", 0}, {"003", "XSHE", 0}}};

struct Instrument {
  std::string order_book_id;
  std::size_t listed = 0;    // first trading-day index
  std::size_t delisted = 0;  // first day index no longer traded
  double price = 0;
  double size = 0;  // drives index membership
  double industry = 0;
  std::size_t suspended_until = 0;
  std::array<std::size_t, 5> left_index_at{};  // day it last left each index (for the 0.0 rows)
  std::array<bool, 5> member{};
};

std::vector<Instrument> make_instruments(std::size_t count, std::size_t days, Random& rng) {
  if (count > BOARDS.size() * 1000) throw ValueError("sample supports at most 11000 instruments");
  std::vector<Instrument> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Board& board = BOARDS[i % BOARDS.size()];
    unsigned suffix = (board.first + static_cast<unsigned>(i / BOARDS.size())) % 1000;
    char code[32];
    std::snprintf(code, sizeof code, "%s%03u.%s", board.prefix, suffix, board.exchange);
    Instrument& inst = out[i];
    inst.order_book_id = code;
    inst.listed = rng.chance(0.85) ? 0 : rng.below(std::max<std::size_t>(1, days * 4 / 5));
    inst.delisted = days;
    if (rng.chance(0.05) && inst.listed + 20 < days) inst.delisted = inst.listed + 20 + rng.below(days - inst.listed - 20);
    inst.price = round_cents(std::exp(rng.uniform(std::log(3.0), std::log(200.0))));
    inst.size = rng.normal(0.0, 1.0);
    inst.industry = static_cast<double>(1 + rng.below(31));
    inst.left_index_at.fill(days + 1000);
  }
  return out;
}

// Index membership bands over the size ranking (share of listed instruments, largest first).
constexpr std::array<std::pair<double, double>, 5> MEMBERSHIP_BANDS = {
    {{0.0, 0.10}, {0.10, 0.27}, {0.27, 0.60}, {0.40, 0.90}, {0.70, 1.0}}};
constexpr std::array<const char*, 5> MEMBERSHIP_FACTORS = {
    "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX"};
constexpr std::size_t REBALANCE_DAYS = 60;

void rebalance(std::vector<Instrument>& instruments, std::size_t day, Random& rng) {
  std::vector<std::size_t> listed;
  for (std::size_t i = 0; i < instruments.size(); ++i) {
    instruments[i].size += rng.normal(0.0, 0.15);
    if (instruments[i].listed <= day && day < instruments[i].delisted) listed.push_back(i);
  }
  std::sort(listed.begin(), listed.end(),
            [&](std::size_t a, std::size_t b) { return instruments[a].size > instruments[b].size; });
  for (auto& inst : instruments)
    for (std::size_t k = 0; k < MEMBERSHIP_BANDS.size(); ++k) {
      if (inst.member[k]) inst.left_index_at[k] = day;
      inst.member[k] = false;
    }
  const double n = static_cast<double>(listed.size());
  for (std::size_t rank = 0; rank < listed.size(); ++rank) {
    Instrument& inst = instruments[listed[rank]];
    double share = static_cast<double>(rank) / std::max(1.0, n);
    for (std::size_t k = 0; k < MEMBERSHIP_BANDS.size(); ++k) {
      bool in = share >= MEMBERSHIP_BANDS[k].first && share < MEMBERSHIP_BANDS[k].second;
      inst.member[k] = in;
      if (in) inst.left_index_at[k] = day + 1000000;  // not leaving
    }
  }
}

class FactorWriter {
 public:
  FactorWriter(sqlite3* db, const std::string& table)
      : db_(db),
        insert_(prepare(db, ("INSERT INTO " + table + " (factor, order_book_id, date, value) VALUES (?,?,?,?)").c_str())) {}

  void row(const char* factor, const std::string& order_book_id, const std::string& date, double value) {
    sqlite3_stmt* s = insert_.get();
    sqlite3_bind_text(s, 1, factor, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, order_book_id.c_str(), static_cast<int>(order_book_id.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, 3, date.c_str(), static_cast<int>(date.size()), SQLITE_STATIC);
    sqlite3_bind_double(s, 4, value);
    if (sqlite3_step(s) != SQLITE_DONE) fail(db_, "insert factor row");
    sqlite3_reset(s);
    ++rows_;
  }
  std::size_t rows() const { return rows_; }

 private:
  sqlite3* db_;
  Statement insert_;
  std::size_t rows_ = 0;
};

void write_instrument_day(FactorWriter& out, Instrument& inst, std::size_t day, const std::string& date,
                          Random& rng) {
  if (day >= inst.suspended_until && rng.chance(0.01)) inst.suspended_until = day + 1 + rng.below(5);
  out.row("rq_industry_exposure_new", inst.order_book_id, date, inst.industry);
  for (std::size_t k = 0; k < MEMBERSHIP_FACTORS.size(); ++k) {
    if (inst.member[k]) out.row(MEMBERSHIP_FACTORS[k], inst.order_book_id, date, 1.0);
    else if (day < inst.left_index_at[k] + 5 && day >= inst.left_index_at[k]) out.row(MEMBERSHIP_FACTORS[k], inst.order_book_id, date, 0.0);
  }
  if (day < inst.suspended_until) {
    out.row("rq_is_suspended", inst.order_book_id, date, 1.0);
    return;  // a suspended instrument has no prices that day
  }
  const double previous = inst.price;
  const double limit_up = round_cents(previous * 1.1), limit_down = round_cents(previous * 0.9);
  auto clamp = [&](double p) { return std::clamp(round_cents(p), limit_down, limit_up); };
  double move = rng.chance(0.02) ? (rng.chance(0.5) ? 0.1 : -0.1) : rng.normal(0.0003, 0.02);
  const double close = clamp(previous * (1.0 + move));
  const double open = clamp(previous * (1.0 + rng.normal(0.0, 0.008)));
  double vwap_late = clamp(open * (1.0 + rng.normal(0.0, 0.003)));
  double vwap_early = clamp(open * (1.0 + rng.normal(0.0, 0.003)));
  if (rng.chance(0.03)) vwap_late = limit_up;
  if (rng.chance(0.03)) vwap_early = limit_down;
  out.row("limit_down", inst.order_book_id, date, limit_down);
  out.row("limit_up", inst.order_book_id, date, limit_up);
  out.row("Close", inst.order_book_id, date, close);
  out.row("Open", inst.order_book_id, date, open);
  out.row("tick_vwap_price_935_1005", inst.order_book_id, date, vwap_late);
  out.row("tick_vwap_price_925_1000", inst.order_book_id, date, vwap_early);
  if (rng.chance(0.004)) out.row("rq_get_dividend", inst.order_book_id, date, round_cents(rng.uniform(0.5, 5.0)));
  if (rng.chance(0.001)) out.row("split_coefficient_to", inst.order_book_id, date, std::round(rng.uniform(12, 20)));
  inst.price = close;
}

}  // namespace

SampleSummary write_sample_database(const std::filesystem::path& path, const SampleOptions& options) {
  if (options.instruments == 0 || options.days == 0) throw ValueError("sample needs at least one instrument and one day");
  const std::vector<std::string> dates = trading_days(options.start, options.days);
  Random rng(options.seed);
  std::vector<Instrument> instruments = make_instruments(options.instruments, options.days, rng);

  std::filesystem::path partial = path;
  partial += ".partial";
  std::filesystem::remove(partial);
  SampleSummary summary;
  // A failure anywhere leaves neither the new database nor its partial file: only what was there before.
  try {
    {
      sqlite3* raw = nullptr;
      int rc = sqlite3_open_v2(partial.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
      Database db(raw);
      if (rc != SQLITE_OK) fail(raw, "open " + partial.string());
      execute(db.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-262144;");
      execute(db.get(),
              "CREATE TABLE factor_values (factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value);"
              "CREATE TABLE index_daily (order_book_id TEXT, date TEXT, close, daily_return);");
      // Factor by factor: the day-by-day rows go to a staging table first and are copied over in factor
      // order, keeping each factor's own row order.
      const bool staged = options.layout == RowLayout::by_factor;
      if (staged) execute(db.get(), "CREATE TEMP TABLE staging (factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value)");
      execute(db.get(), "BEGIN");
      FactorWriter factors(db.get(), staged ? "temp.staging" : "factor_values");
      for (std::size_t day = 0; day < dates.size(); ++day) {
        throw_if_interrupted();
        if (day % REBALANCE_DAYS == 0) rebalance(instruments, day, rng);
        for (auto& inst : instruments)
          if (inst.listed <= day && day < inst.delisted) write_instrument_day(factors, inst, day, dates[day], rng);
        if (options.progress) options.progress(day + 1, dates.size());
      }
      Statement index_row = prepare(db.get(), "INSERT INTO index_daily VALUES (?,?,?,?)");
      for (auto [code, level] : {std::pair{"000852.XSHG", 6000.0}, {"000300.XSHG", 4000.0}, {"000905.XSHG", 5800.0}}) {
        for (const auto& date : dates) {
          double next = std::round(level * (1.0 + rng.normal(0.0002, 0.012)) * 1000.0) / 1000.0;
          sqlite3_bind_text(index_row.get(), 1, code, -1, SQLITE_STATIC);
          sqlite3_bind_text(index_row.get(), 2, date.c_str(), -1, SQLITE_STATIC);
          sqlite3_bind_double(index_row.get(), 3, next);
          sqlite3_bind_double(index_row.get(), 4, next / level - 1.0);
          if (sqlite3_step(index_row.get()) != SQLITE_DONE) fail(db.get(), "insert index row");
          sqlite3_reset(index_row.get());
          level = next;
          ++summary.index_rows;
        }
      }
      if (staged) {
        execute(db.get(), "INSERT INTO factor_values SELECT * FROM temp.staging ORDER BY factor, rowid");
        execute(db.get(), "DROP TABLE temp.staging");
      }
      execute(db.get(), "CREATE INDEX factor_values_factor_date ON factor_values(factor, date)");
      execute(db.get(), "COMMIT");
      summary.factor_rows = factors.rows();
    }
    std::filesystem::rename(partial, path);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    throw;
  }
  summary.instruments = options.instruments;
  summary.days = dates.size();
  auto compact = [](std::string date) {
    date.erase(std::remove(date.begin(), date.end(), '-'), date.end());
    return date;
  };
  summary.first_date = compact(dates.front());
  summary.last_date = compact(dates.back());
  return summary;
}

}  // namespace velmora
