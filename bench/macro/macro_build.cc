// The whole build, stage by stage, on one factor database: the timing side of the macro benchmark that
// bench/run_macro.sh runs against the pandas peer. Prints one JSON object:
//
//   sqlite_floor       a bare sqlite3_step loop over the same per-factor queries through the index
//   sqlite_scan_floor  a bare sqlite3_step loop over the whole table in storage order, on one connection
//   sqlite_core_floor  the same loop split into equal rowid ranges, one connection per core, read at once
//   stages             our build from the SQLite factor service, per stage, with peak RSS
//   compute_only       build() from the in-memory factor service preloaded with the same answers
//
// Usage: macro_build --db FILE --start YYYYMMDD --end YYYYMMDD --store DIR [--threads N] [--read-threads N]
//                    [--mode full|batch] [--floors all|scan] [--compute-only 1]
// --threads sets the build's threads, --read-threads the service's connections (default: one per core).
// --mode batch times build_incremental() instead of build(). The floors are run only when asked for: `scan`
// runs the two loops over the table (cheap enough for every round), `all` the index loop too; likewise the
// in-memory build.

#include <sqlite3.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/parallel.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/in_memory_factor_service.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::backtest {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string dashed(const std::string& yyyymmdd) {
  return yyyymmdd.substr(0, 4) + "-" + yyyymmdd.substr(4, 2) + "-" + yyyymmdd.substr(6, 2);
}

std::vector<std::string> index_codes() {
  std::vector<std::string> codes;
  for (const auto& [name, code] : BENCHMARK_INDEX_CODES) codes.push_back(code);
  return codes;
}

std::vector<std::string> every_factor() {
  std::vector<std::string> names = BUILD_INPUT_NAMES;
  for (const auto& name : get_component_factor_names()) names.push_back(name);
  return names;
}

// Steps through the per-factor query and touches every cell, building nothing.
double sqlite_floor(const std::string& db_path, const std::string& start, const std::string& end,
                    std::size_t& rows) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    throw std::runtime_error("cannot open " + db_path);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT order_book_id, date, factor, value FROM factor_values WHERE factor IN (?) "
                     "AND date >= ? AND date <= ? ORDER BY factor, date, rowid",
                     -1, &statement, nullptr);
  const std::string from = dashed(start), to = dashed(end);
  auto begin = Clock::now();
  std::size_t checksum = 0;
  rows = 0;
  for (const auto& name : every_factor()) {
    sqlite3_bind_text(statement, 1, name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, from.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 3, to.c_str(), -1, SQLITE_STATIC);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      checksum += static_cast<std::size_t>(sqlite3_column_bytes(statement, 0));
      checksum += static_cast<std::size_t>(sqlite3_column_bytes(statement, 1));
      checksum += static_cast<std::size_t>(sqlite3_column_bytes(statement, 2));
      checksum += static_cast<std::size_t>(sqlite3_column_double(statement, 3) != 0.0);
      ++rows;
    }
    sqlite3_reset(statement);
  }
  double elapsed = seconds_since(begin);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  volatile std::size_t sink = checksum;  // keeps the reads from being optimised away
  (void)sink;
  return elapsed;
}

// Forwards to the SQLite service, adding up the time spent inside it and keeping the answers of the
// component factors (whose conversion the stage timing separates from the mask computation).
class TimedService : public FactorService {
 public:
  explicit TimedService(std::shared_ptr<FactorService> inner) : inner_(std::move(inner)) {
    for (const auto& name : get_component_factor_names()) answers[name];
  }

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start,
                                        const std::optional<std::string>& end) override {
    auto begin = Clock::now();
    auto answer = inner_->get_factors(factor, start, end);
    seconds += seconds_since(begin);
    if (answer) rows += answer->num_rows();
    if (const auto* name = std::get_if<std::string>(&factor); name && answers.count(*name)) answers[*name] = answer;
    return answer;
  }
  void get_factors_by_factor(const std::vector<std::string>& names, const std::optional<std::string>& start,
                             const std::optional<std::string>& end,
                             const std::function<void(QueryTable piece)>& consume) override {
    // The pieces are converted inside the call: that time is the caller's, not the service's.
    auto begin = Clock::now();
    double converting = 0;
    inner_->get_factors_by_factor(names, start, end, [&](QueryTable piece) {
      auto handed = Clock::now();
      rows += piece.num_rows();
      consume(std::move(piece));
      converting += seconds_since(handed);
    });
    seconds += seconds_since(begin) - converting;
  }
  void read_ahead(const std::vector<std::string>& names, const std::optional<std::string>& start,
                  const std::optional<std::string>& end) override {
    auto begin = Clock::now();
    inner_->read_ahead(names, start, end);
    seconds += seconds_since(begin);
  }
  void forget_read_ahead() override { inner_->forget_read_ahead(); }
  std::optional<QueryTable> get_index_daily(const std::vector<std::string>& ids, const std::optional<std::string>& start,
                                            const std::optional<std::string>& end) override {
    auto begin = Clock::now();
    auto answer = inner_->get_index_daily(ids, start, end);
    seconds += seconds_since(begin);
    return answer;
  }

  double seconds = 0;
  std::size_t rows = 0;  // long rows answered
  std::map<std::string, std::optional<QueryTable>> answers;

 private:
  std::shared_ptr<FactorService> inner_;
};

struct Stages {
  double sqlite_read = 0, long_to_wide = 0, masks = 0, benchmark = 0, derivation = 0, payload = 0, store_write = 0;
  double total() const { return sqlite_read + long_to_wide + masks + benchmark + derivation + payload + store_write; }
};

// The stages after the reads, timed each: derivation, payload assembly and the store write. The write runs
// with only the payload alive, as it does after build() returns.
void derive_and_write(Stages& stages, const GroupPreparedDataBuilder& builder, SourceData read,
                      const std::string& store_dir, const std::string& meta_time_key) {
  auto begin = Clock::now();
  MatrixMap data = GroupPreparedDataBuilder::_build_from_matrices(read.source);
  stages.derivation += seconds_since(begin);
  begin = Clock::now();
  Payload payload = builder._assemble_payload(data, read.component_matrices, read.benchmark_dict,
                                              read.component_names, meta_time_key);
  stages.payload += seconds_since(begin);
  read = SourceData();
  data = MatrixMap();
  begin = Clock::now();
  BinaryPreparedDataStore(store_dir).write(payload);
  stages.store_write += seconds_since(begin);
}

// The full build, with each stage timed on its own: the same calls, in the same order, as build().
Stages staged_build(TimedService& service, const GroupPreparedDataBuilder& builder, const std::string& store_dir) {
  Stages stages;
  auto timed = [&](double& stage, auto&& work) {
    double sqlite_before = service.seconds;
    auto begin = Clock::now();
    auto result = work();
    double inside = service.seconds - sqlite_before;
    stage += seconds_since(begin) - inside;
    stages.sqlite_read += inside;
    return result;
  };
  SourceData read;
  read.component_names = get_component_factor_names();
  std::vector<std::string> names = every_factor();
  timed(stages.long_to_wide, [&] {
    service.read_ahead(names, GroupPreparedDataBuilder::_vm_factor_date(builder.default_start()),
                       GroupPreparedDataBuilder::_vm_factor_date(builder.end_date()));
    return 0;
  });
  for (const auto& name : REQUIRED_FACTOR_NAMES)
    read.source.set(name, timed(stages.long_to_wide, [&] { return builder._read_normal_factor_matrix(name); }));
  const WideMatrix reference = read.source.at("Close");  // placeholders take the close's labels
  for (const auto& name : OPTIONAL_FACTOR_NAMES)
    read.source.set(name, timed(stages.long_to_wide, [&] { return builder._read_or_empty(name, reference); }));
  read.component_matrices = timed(stages.masks, [&] { return builder._component_matrices(read.component_names); });
  service.forget_read_ahead();
  // The masks' own conversions, timed again on the same answers, count as long-to-wide.
  for (const auto& name : read.component_names) {
    auto begin = Clock::now();
    const auto& answer = service.answers[name];
    auto converted = GroupPreparedDataBuilder::_vm_factors_to_matrices(answer ? &*answer : nullptr, {name});
    double conversion = seconds_since(begin);
    stages.masks -= conversion;
    stages.long_to_wide += conversion;
  }
  service.answers.clear();  // a build holds no answer past its conversion
  read.benchmark_dict = timed(stages.benchmark, [&] { return builder._read_benchmark_dict(); });
  derive_and_write(stages, builder, std::move(read), store_dir, "created_at");
  return stages;
}

// build_incremental(), timed as a whole but for the service's own time, then derived and written as above.
Stages staged_batch_build(TimedService& service, const GroupPreparedDataBuilder& builder, const std::string& store_dir) {
  Stages stages;
  auto begin = Clock::now();
  SourceData read = builder._read_source_data(true);
  stages.sqlite_read = service.seconds;
  stages.long_to_wide = seconds_since(begin) - service.seconds;  // conversion and masks together
  derive_and_write(stages, builder, std::move(read), store_dir, "updated_at");
  return stages;
}

// Steps through the rowids [first, last] of factor_values in storage order on its own connection, touching
// every cell of every row; answers the rows stepped through.
std::size_t step_rowid_range(const std::string& db_path, std::int64_t first, std::int64_t last) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    throw std::runtime_error("cannot open " + db_path);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT factor, date, order_book_id, value FROM factor_values NOT INDEXED "
                     "WHERE rowid >= ? AND rowid <= ? ORDER BY rowid",
                     -1, &statement, nullptr);
  sqlite3_bind_int64(statement, 1, first);
  sqlite3_bind_int64(statement, 2, last);
  std::size_t checksum = 0, rows = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    checksum += static_cast<std::size_t>(sqlite3_column_bytes(statement, 0));
    checksum += static_cast<std::size_t>(sqlite3_column_bytes(statement, 1));
    checksum += static_cast<std::size_t>(sqlite3_column_bytes(statement, 2));
    checksum += static_cast<std::size_t>(sqlite3_column_double(statement, 3) != 0.0);
    ++rows;
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  volatile std::size_t sink = checksum;  // keeps the reads from being optimised away
  (void)sink;
  return rows;
}

// A bare sqlite3_step loop over the whole table in storage order, split into `parts` equal rowid ranges that
// are read at once, one connection each: the floor of any reader of this file with that many cores.
double sqlite_scan_floor(const std::string& db_path, std::size_t parts, std::size_t& rows) {
  std::int64_t first = 0, last = -1;
  {
    sqlite3* db = nullptr;
    sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* bounds = nullptr;
    sqlite3_prepare_v2(db, "SELECT (SELECT min(rowid) FROM factor_values), (SELECT max(rowid) FROM factor_values)",
                       -1, &bounds, nullptr);
    if (sqlite3_step(bounds) == SQLITE_ROW) {
      first = sqlite3_column_int64(bounds, 0);
      last = sqlite3_column_int64(bounds, 1);
    }
    sqlite3_finalize(bounds);
    sqlite3_close(db);
  }
  const std::int64_t span = last - first + 1;
  std::vector<std::size_t> counts(parts);
  auto begin = Clock::now();
  std::vector<std::thread> workers;
  for (std::size_t i = 0; i < parts; ++i)
    workers.emplace_back([&, i] {
      const auto n = static_cast<std::int64_t>(parts), k = static_cast<std::int64_t>(i);
      counts[i] = step_rowid_range(db_path, first + span * k / n, first + span * (k + 1) / n - 1);
    });
  for (auto& worker : workers) worker.join();
  double elapsed = seconds_since(begin);
  rows = 0;
  for (std::size_t count : counts) rows += count;
  return elapsed;
}

// build() with every answer served from memory: the computation alone. The answers are read from the
// database first, untimed, and handed to the in-memory service as fixed answers per call.
double compute_only(const std::string& db, const GroupPreparedDataBuilder& builder) {
  SqliteFactorService sqlite(db);
  auto start = GroupPreparedDataBuilder::_vm_factor_date(builder.default_start());
  auto end = GroupPreparedDataBuilder::_vm_factor_date(builder.end_date());
  auto memory = std::make_shared<InMemoryFactorService>();
  for (const auto& name : every_factor())
    memory->answer_when(single_factor_call(name), sqlite.get_factors(name, start, end));
  memory->answer_when(index_daily_call(),
                      sqlite.get_index_daily(index_codes(),
                                             builder.default_start(), builder.end_date()));
  ScopedFactorService installed(memory);
  auto begin = Clock::now();
  Payload payload = builder.build();
  return seconds_since(begin);
}

std::uint64_t peak_rss_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

int run(int argc, char** argv) {
  std::map<std::string, std::string> args;
  for (int i = 1; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
  for (const char* required : {"--db", "--start", "--end", "--store"})
    if (!args.count(required)) {
      std::cerr << "usage: macro_build --db FILE --start YYYYMMDD --end YYYYMMDD --store DIR [--threads N] "
                   "[--read-threads N] [--mode full|batch] [--floors all|scan] [--compute-only 1]\n";
      return 2;
    }
  if (args.count("--threads")) set_thread_count(std::stoul(args["--threads"]));
  const std::string mode = args.count("--mode") ? args["--mode"] : "full";
  if (mode != "full" && mode != "batch") throw std::runtime_error("--mode is full or batch");

  std::size_t floor_rows = 0, scan_rows = 0;
  double index_floor = 0, scan_floor = 0, core_floor = 0;
  if (args.count("--floors")) {
    const std::string floors = args["--floors"];
    if (floors != "all" && floors != "scan") throw std::runtime_error("--floors is all or scan");
    if (floors == "all") index_floor = sqlite_floor(args["--db"], args["--start"], args["--end"], floor_rows);
    scan_floor = sqlite_scan_floor(args["--db"], 1, scan_rows);
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    core_floor = sqlite_scan_floor(args["--db"], cores, scan_rows);
  }

  const std::size_t read_threads = args.count("--read-threads") ? std::stoul(args["--read-threads"])
                                                                : std::max(1u, std::thread::hardware_concurrency());
  auto service = std::make_shared<TimedService>(std::make_shared<SqliteFactorService>(args["--db"], read_threads));
  GroupPreparedDataBuilder builder(args["--start"], args["--end"]);
  Stages stages;
  auto begin = Clock::now();
  {
    ScopedFactorService installed(service);
    stages = mode == "full" ? staged_build(*service, builder, args["--store"])
                            : staged_batch_build(*service, builder, args["--store"]);
  }
  double wall = seconds_since(begin);
  std::uint64_t rss = peak_rss_bytes();
  double compute = args.count("--compute-only") ? compute_only(args["--db"], builder) : 0.0;

  std::printf(
      "{\"mode\": \"%s\", \"threads\": %zu, \"read_threads\": %zu, \"long_rows\": %zu, \"sqlite_floor\": %.4f, \"sqlite_scan_floor\": %.4f, "
      "\"sqlite_core_floor\": %.4f, \"cores\": %u, \"table_rows\": %zu, \"sqlite_read\": %.4f, \"long_to_wide\": %.4f, \"masks\": %.4f, \"benchmark\": %.4f, "
      "\"derivation\": %.4f, \"payload\": %.4f, \"store_write\": %.4f, \"total\": %.4f, \"wall\": %.4f, "
      "\"peak_rss_bytes\": %llu, \"compute_only\": %.4f}\n",
      mode.c_str(), thread_count(), read_threads, service->rows, index_floor, scan_floor, core_floor,
      std::thread::hardware_concurrency(), scan_rows, stages.sqlite_read,
      stages.long_to_wide, stages.masks, stages.benchmark, stages.derivation, stages.payload, stages.store_write,
      stages.total(), wall, static_cast<unsigned long long>(rss), compute);
  return 0;
}

}  // namespace
}  // namespace velmora::backtest

int main(int argc, char** argv) {
  try {
    return velmora::backtest::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "macro_build: " << e.what() << "\n";
    return 1;
  }
}
