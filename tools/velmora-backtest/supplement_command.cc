#include <iostream>

#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "progress.h"
#include "velmora/backtest/store_supplement.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::tool {

namespace {

struct SupplementOptions {
  std::string store, db, components;
  bool quiet = false;
  bool json = false;
  bool wait = false;
};

void run_supplement(const SupplementOptions& options) {
  std::vector<std::string> names = backtest::parse_name_list(Value(options.components));
  if (names.empty()) throw UsageError(messages::NO_COMPONENTS);
  check_existing_directory("--store", options.store);
  check_writable_directory("--store", options.store);
  std::shared_ptr<SqliteFactorService> database = open_factor_database(options.db);

  StatusLine status(options.quiet);
  ScopedFactorService installed(
      std::make_shared<ObservedFactorService>(database, status, static_cast<int>(names.size())));
  backtest::StoreSupplementOptions supplement;
  supplement.lock = writer_lock_options(options.wait, status);
  supplement.progress = [&status](const std::string& text) { status.show(text); };
  const backtest::StoreSupplement result = backtest::supplement_store(options.store, names, supplement);
  status.finish();

  if (options.json) {
    Value out = Value::object();
    out["store"] = options.store;
    out["added"] = result.added;
    out["already_present"] = result.already_present;
    std::cout << out.dump(2) << "\n";
    return;
  }
  if (result.added.empty()) std::cout << "nothing to supplement: the store holds every named component\n";
  for (const auto& name : result.added) std::cout << name << "\n";
}

}  // namespace

void add_supplement_command(CLI::App& app) {
  auto options = std::make_shared<SupplementOptions>();
  CLI::App* cmd = app.add_subcommand("supplement", "Add missing index-membership matrices to a store");
  cmd->add_option("--store", options->store, "store directory")->required();
  cmd->add_option("--db", options->db, "factor database (SQLite)")->required();
  cmd->add_option("--components", options->components, "component factor names, comma-separated")->required();
  cmd->add_flag("--wait", options->wait, "wait for another writer of the store to finish instead of failing");
  cmd->add_flag("--json", options->json, "print the summary as JSON");
  cmd->add_flag("--quiet", options->quiet, "no progress on the terminal");
  cmd->callback([options] { run_supplement(*options); });
}

}  // namespace velmora::tool
