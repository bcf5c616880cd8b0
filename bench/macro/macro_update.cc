// A store update against a full rebuild on one factor database, in the same run: the timing side of the
// update benchmark. For each store length L (days from the database's first date) it builds a store over
// the first L - ADDED days, updates it to L days (timed by stage: reading the stored rows, reading the
// factor service, deriving, writing), and, for the longest L, rebuilds the L days into a fresh store (timed
// the same way), checks that both stores hold the same files' contents, and prints one JSON object.
//
// Usage: macro_update --db FILE --work DIR [--start YYYYMMDD] [--added N] [--lengths 250,500,1000]

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/store_update.h"
#include "velmora/sqlite_factor_service.h"
#include "velmora/value.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The sample database's trading days are the weekdays from its first date on.
std::string trading_day(const std::string& first, std::size_t n) {
  std::int64_t day = days_from_yyyymmdd(first);
  for (std::size_t seen = 0;; ++day) {
    if (day % 7 == 2 || day % 7 == 3) continue;
    if (seen++ == n) return yyyymmdd_from_days(day);
  }
}

struct BuildTimes {
  double read_and_derive = 0;
  double write = 0;
};

BuildTimes rebuild(const fs::path& store, const std::string& start, const std::string& end) {
  fs::remove_all(store);
  BuildTimes times;
  auto started = Clock::now();
  Payload payload = GroupPreparedDataBuilder(start, end).build_incremental();
  times.read_and_derive = seconds_since(started);
  started = Clock::now();
  BinaryPreparedDataStore(store).write(payload);
  times.write = seconds_since(started);
  return times;
}

// Dataset, basis and benchmark entries compared by shape, labels and CRC-32 of their files.
bool same_contents(const fs::path& a, const fs::path& b) {
  Value x = BinaryPreparedDataStore(a).load_metadata(), y = BinaryPreparedDataStore(b).load_metadata();
  auto drop_files = [](Value& section) {
    for (auto entry = section.begin(); entry != section.end(); ++entry) entry->erase("file");
  };
  for (Value* metadata : {&x, &y}) {
    drop_files((*metadata)["datasets"]);
    drop_files((*metadata)["benchmark_dict"]);
    drop_files((*metadata)["update_basis"]["sources"]);
    metadata->erase("updated_at");
    (*metadata)["meta"].erase("updated_at");
  }
  return x == y;
}

int run(int argc, char** argv) {
  std::string db, work, start = "20230102";  // the sample database's first trading day by default
  std::size_t added = 5;
  std::vector<std::size_t> lengths = {250, 500, 1000};
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--db") db = value;
    else if (flag == "--work") work = value;
    else if (flag == "--start") start = value;
    else if (flag == "--added") added = std::stoul(value);
    else if (flag == "--lengths") {
      lengths.clear();
      std::stringstream list(value);
      for (std::string item; std::getline(list, item, ',');) lengths.push_back(std::stoul(item));
    }
  }
  if (db.empty() || work.empty()) {
    std::cerr << "usage: macro_update --db FILE --work DIR [--added N] [--lengths 250,500,1000]\n";
    return 2;
  }
  ScopedFactorService installed(std::make_shared<SqliteFactorService>(db));

  Value out = Value::object();
  out["added_dates"] = added;
  Value runs = Value::array();
  const fs::path store = fs::path(work) / "updated", fresh = fs::path(work) / "rebuilt";
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const std::size_t length = lengths[i];
    const std::string old_end = trading_day(start, length - added - 1), end = trading_day(start, length - 1);
    rebuild(store, start, old_end);
    auto started = Clock::now();
    StoreUpdate update = update_store(BinaryPreparedDataStore(store), {end, std::nullopt, nullptr, {}});
    double total = seconds_since(started);
    Value row = {{"days", length},
                 {"update", {{"total", total},
                             {"read_store", update.timings.read_store},
                             {"read_source", update.timings.read_source},
                             {"derive", update.timings.derive},
                             {"write", update.timings.write},
                             {"added_dates", update.added_dates.size()},
                             {"added_instruments", update.added_instruments.size()},
                             {"recomputed_from", update.recomputed_from},
                             {"files_copied", update.files_copied}}}};
    if (i + 1 == lengths.size()) {
      BuildTimes full = rebuild(fresh, start, end);
      row["rebuild"] = {{"total", full.read_and_derive + full.write},
                        {"read_and_derive", full.read_and_derive},
                        {"write", full.write}};
      row["update_share_of_rebuild"] = total / (full.read_and_derive + full.write);
      row["equal"] = same_contents(store, fresh);
    }
    runs.push_back(row);
    std::cerr << row.dump() << "\n";
  }
  out["runs"] = runs;
  std::cout << out.dump(1) << "\n";
  return 0;
}

}  // namespace
}  // namespace velmora::backtest

int main(int argc, char** argv) { return velmora::backtest::run(argc, argv); }
