#include <iostream>

#include "commands.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::tool {

namespace {

struct SupplementOptions {
  std::string store, db, components;
};

void run_supplement(const SupplementOptions& options) {
  std::vector<std::string> names = backtest::parse_name_list(Value(options.components));
  if (names.empty()) throw ValueError("--components names no component factor");
  backtest::BinaryPreparedDataStore store(options.store, names);
  Value metadata = store.load_metadata();
  const Value meta = metadata.value("meta", Value::object());
  if (!meta.contains("start_date") || !meta.contains("end_date"))
    throw VelmoraError("no prepared-data store with a date range at " + options.store);

  ScopedFactorService installed(std::make_shared<SqliteFactorService>(options.db));
  backtest::GroupPreparedDataBuilder builder(meta["start_date"], meta["end_date"]);
  backtest::MatrixMap masks = builder._component_matrices(names);
  std::vector<std::string> written = store.add_component_matrices(masks, names);
  if (written.empty()) std::cout << "nothing to supplement: the store holds every named component\n";
  for (const auto& name : written) std::cout << name << "\n";
}

}  // namespace

void add_supplement_command(CLI::App& app) {
  auto options = std::make_shared<SupplementOptions>();
  CLI::App* cmd = app.add_subcommand("supplement", "Add missing index-membership matrices to a store");
  cmd->add_option("--store", options->store, "store directory")->required();
  cmd->add_option("--db", options->db, "factor database (SQLite)")->required()->check(CLI::ExistingFile);
  cmd->add_option("--components", options->components, "component factor names, comma-separated")->required();
  cmd->callback([options] { run_supplement(*options); });
}

}  // namespace velmora::tool
