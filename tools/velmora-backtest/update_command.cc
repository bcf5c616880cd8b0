#include <ctime>
#include <iostream>

#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "progress.h"
#include "velmora/backtest/store_update.h"
#include "velmora/sqlite_factor_service.h"
#include "velmora/value.h"

namespace velmora::tool {

namespace {

struct UpdateOptions {
  std::string db, store, end, from;
  bool json = false;
  bool quiet = false;
  bool wait = false;
};

std::string today() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[9];
  std::strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

const char* outcome_name(backtest::StoreUpdate::Outcome outcome) {
  switch (outcome) {
    case backtest::StoreUpdate::Outcome::unchanged: return "unchanged";
    case backtest::StoreUpdate::Outcome::extended: return "extended";
    case backtest::StoreUpdate::Outcome::rebuilt: return "rebuilt";
  }
  return "unchanged";
}

void print_json(const backtest::StoreUpdate& result, double seconds) {
  Value out = Value::object();
  out["outcome"] = outcome_name(result.outcome);
  out["start_date"] = result.start_date;
  out["old_end_date"] = result.old_end_date;
  out["end_date"] = result.end_date;
  out["reread_from"] = result.reread_from;
  out["added_dates"] = result.added_dates;
  out["added_instruments"] = result.added_instruments;
  out["recomputed_from"] = result.recomputed_from;
  out["files_copied"] = result.files_copied;
  out["seconds"] = {{"read_store", result.timings.read_store}, {"read_source", result.timings.read_source},
                    {"derive", result.timings.derive}, {"write", result.timings.write}, {"total", seconds}};
  std::cout << out.dump(1) << "\n";
}

void print_summary(const backtest::StoreUpdate& result, const std::string& store, double seconds) {
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.2f s", seconds);
  if (result.outcome == backtest::StoreUpdate::Outcome::unchanged) {
    std::cout << "store " << store << " unchanged: nothing new up to " << result.end_date << " (" << elapsed << ")\n";
    return;
  }
  std::cout << (result.outcome == backtest::StoreUpdate::Outcome::rebuilt ? "rebuilt " : "updated ") << store
            << " to " << result.end_date << ": " << result.added_dates.size() << " new dates";
  if (!result.added_dates.empty())
    std::cout << " (" << result.added_dates.front() << " to " << result.added_dates.back() << ")";
  std::cout << ", " << result.added_instruments.size() << " new instruments";
  for (std::size_t i = 0; i < result.added_instruments.size() && i < 5; ++i)
    std::cout << (i ? " " : " (") << result.added_instruments[i];
  if (!result.added_instruments.empty()) std::cout << (result.added_instruments.size() > 5 ? " ...)" : ")");
  std::cout << ", re-read from " << result.reread_from << ", " << elapsed << "\n";
}

void run_update(const UpdateOptions& options) {
  std::string end = checked_date("--end", options.end.empty() ? today() : options.end);
  std::optional<std::string> from;
  if (!options.from.empty()) from = checked_date("--from", options.from);
  if (from && *from > end) throw UsageError(messages::from_after_end(*from, end));
  check_existing_directory("--store", options.store);
  check_writable_directory("--store", options.store);
  std::shared_ptr<SqliteFactorService> database = open_factor_database(options.db);

  StatusLine status(options.quiet || options.json);
  ScopedFactorService installed(std::make_shared<ObservedFactorService>(database, status, std::nullopt));
  backtest::StoreUpdateOptions update{end, from, [&](const std::string& text) { status.show(text); }, {}};
  update.lock = writer_lock_options(options.wait, status);
  backtest::StoreUpdate result = backtest::update_store(backtest::BinaryPreparedDataStore(options.store), update);
  status.finish();
  if (!result.rebuild_reason.empty()) std::cerr << "velmora-backtest: " << result.rebuild_reason << "\n";
  if (options.json) {
    print_json(result, status.elapsed_seconds());
  } else {
    print_summary(result, options.store, status.elapsed_seconds());
  }
}

}  // namespace

void add_update_command(CLI::App& app) {
  auto options = std::make_shared<UpdateOptions>();
  CLI::App* cmd = app.add_subcommand("update", "Extend a store to a new end date, reading only the new dates");
  cmd->add_option("--db", options->db, "factor database (SQLite)")->required();
  cmd->add_option("--store", options->store, "store directory to update")->required();
  cmd->add_option("--end", options->end, std::string("new end date (") + messages::DATE_FORMS + "; default today)");
  cmd->add_option("--from", options->from,
                  std::string("re-read from this date on, to take in corrected history (") + messages::DATE_FORMS + ")");
  cmd->add_flag("--wait", options->wait, "wait for another writer of the store to finish instead of failing");
  cmd->add_flag("--json", options->json, "print the result as JSON");
  cmd->add_flag("--quiet", options->quiet, "no progress on the terminal");
  cmd->callback([options] { run_update(*options); });
}

}  // namespace velmora::tool
