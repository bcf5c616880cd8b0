// Reading one factor of 2,430 dates × 6,000 instruments (about 14.6 M long rows): the long-to-wide
// conversion of an in-memory answer, the SQLite service's read of the same factor, and a bare sqlite3_step
// loop over the same query as the floor the service is measured against.
//
// The SQLite file is generated once into bench/data/ (git ignores it) and reused by later runs.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/parallel.h"
#include "velmora/column_builder.h"
#include "velmora/query_table.h"
#include "velmora/sqlite_factor_service.h"

namespace {

constexpr int DATES = 2430;
constexpr int INSTRUMENTS = 6000;
constexpr const char* FACTOR = "Close";

// Consecutive calendar days from 2014-01-01, as "YYYY-MM-DD".
std::string date_text(int day) {
  constexpr int FIRST_DAY = 16071;  // 2014-01-01 in days since 1970-01-01
  std::string compact = velmora::backtest::yyyymmdd_from_days(FIRST_DAY + day);
  return compact.substr(0, 4) + "-" + compact.substr(4, 2) + "-" + compact.substr(6, 2);
}

std::string instrument(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "%06d.%s", 100000 + i, i % 2 ? "XSHE" : "XSHG");
  return text;
}

double value_of(int day, int i) { return 10.0 + (day * 7 + i * 13) % 1000 * 0.01; }

const velmora::QueryTable& long_table() {
  static const velmora::QueryTable table = [] {
    velmora::ColumnBuilder ids, dates, factors, values;
    for (auto* builder : {&ids, &dates, &factors, &values}) builder->reserve(std::size_t{DATES} * INSTRUMENTS);
    std::vector<std::string> names(INSTRUMENTS);
    for (int i = 0; i < INSTRUMENTS; ++i) names[i] = instrument(i);
    for (int day = 0; day < DATES; ++day) {
      std::string date = date_text(day);
      for (int i = 0; i < INSTRUMENTS; ++i) {
        ids.append_text(names[i]);
        dates.append_text(date);
        factors.append_text(FACTOR);
        values.append_double(value_of(day, i));
      }
    }
    return velmora::QueryTable({{"order_book_id", ids.finish()},
                                {"date", dates.finish()},
                                {"factor", factors.finish()},
                                {"value", values.finish()}});
  }();
  return table;
}

std::filesystem::path database_path() {
  static const std::filesystem::path path = [] {
    auto dir = std::filesystem::path(__FILE__).parent_path() / "data";
    std::filesystem::create_directories(dir);
    auto file = dir / "source_factor.db";
    if (std::filesystem::exists(file)) return file;
    auto partial = dir / "source_factor.db.partial";
    std::filesystem::remove(partial);
    sqlite3* db = nullptr;
    sqlite3_open(partial.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;"
                 "CREATE TABLE factor_values (factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value);"
                 "CREATE TABLE index_daily (order_book_id TEXT, date TEXT, close, daily_return);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO factor_values VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
    for (int day = 0; day < DATES; ++day) {
      std::string date = date_text(day);
      for (int i = 0; i < INSTRUMENTS; ++i) {
        std::string id = instrument(i);
        sqlite3_bind_text(insert, 1, FACTOR, -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, date.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 4, value_of(day, i));
        sqlite3_step(insert);
        sqlite3_reset(insert);
      }
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "CREATE INDEX factor_values_factor_date ON factor_values(factor, date); COMMIT;", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
    std::filesystem::rename(partial, file);
    return file;
  }();
  return path;
}

void BM_LongToWide(benchmark::State& state) {
  velmora::backtest::set_thread_count(static_cast<std::size_t>(state.range(0)));
  const velmora::QueryTable& table = long_table();
  for (auto _ : state) {
    auto result = velmora::backtest::GroupPreparedDataBuilder::_vm_factors_to_matrices(&table, {FACTOR});
    benchmark::DoNotOptimize(result);
  }
  velmora::backtest::set_thread_count(0);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(table.num_rows()));
}
BENCHMARK(BM_LongToWide)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(12)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_SqliteServiceRead(benchmark::State& state) {
  velmora::SqliteFactorService service(database_path());
  std::size_t rows = 0;
  for (auto _ : state) {
    auto answer = service.get_factors(velmora::FactorSelection(std::string(FACTOR)), std::nullopt, std::nullopt);
    rows = answer->num_rows();
    benchmark::DoNotOptimize(answer);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows));
}
BENCHMARK(BM_SqliteServiceRead)->Unit(benchmark::kMillisecond)->Iterations(2);

// The same query stepped with every cell fetched and nothing kept.
void BM_SqliteBareStep(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(database_path().c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  std::size_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT order_book_id, date, factor, value FROM factor_values WHERE factor IN (?) "
                       "ORDER BY factor, date, rowid",
                       -1, &statement, nullptr);
    sqlite3_bind_text(statement, 1, FACTOR, -1, SQLITE_STATIC);
    rows = 0;
    std::size_t bytes = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      for (int c = 0; c < 3; ++c) {
        benchmark::DoNotOptimize(sqlite3_column_type(statement, c));
        benchmark::DoNotOptimize(sqlite3_column_text(statement, c));
        bytes += static_cast<std::size_t>(sqlite3_column_bytes(statement, c));
      }
      benchmark::DoNotOptimize(sqlite3_column_type(statement, 3));
      benchmark::DoNotOptimize(sqlite3_column_double(statement, 3));
      ++rows;
    }
    benchmark::DoNotOptimize(bytes);
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows));
}
BENCHMARK(BM_SqliteBareStep)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
