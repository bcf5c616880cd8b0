#include <cstdio>
#include <iostream>

#include "commands.h"
#include "progress.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::tool {

namespace {

struct BuildOptions {
  std::string db, start, end, store;
  bool incremental = false;
  bool quiet = false;
};

// A full build makes one read per build input and component factor, and one for the benchmarks.
int expected_full_reads() {
  return static_cast<int>(backtest::BUILD_INPUT_NAMES.size() + backtest::get_component_factor_names().size() + 1);
}

void run_build(const BuildOptions& options) {
  StatusLine status(options.quiet);
  auto service = std::make_shared<ObservedFactorService>(
      std::make_shared<SqliteFactorService>(options.db), status,
      options.incremental ? std::nullopt : std::optional<int>(expected_full_reads()));
  ScopedFactorService installed(service);

  backtest::GroupPreparedDataBuilder builder(options.start, options.end);
  backtest::Payload payload = options.incremental ? builder.build_incremental() : builder.build();
  status.show("writing the store");
  backtest::BinaryPreparedDataStore store(options.store);
  store.write(payload);
  status.finish();

  std::size_t matrices = 0;
  for (const auto& [key, entry] : payload.data)
    if (std::holds_alternative<backtest::WideMatrix>(entry)) ++matrices;
  const backtest::WideMatrix& close = payload.data.matrix("close_price");
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f s", status.elapsed_seconds());
  std::cout << "built " << builder.default_start() << " to " << builder.end_date() << " into " << options.store
            << ": " << matrices << " datasets and " << payload.data.benchmark_dict()->size()
            << " benchmark series, " << close.rows() << " dates x " << close.cols() << " instruments, " << seconds
            << "\n";
}

}  // namespace

void add_build_command(CLI::App& app) {
  auto options = std::make_shared<BuildOptions>();
  CLI::App* cmd = app.add_subcommand("build", "Build prepared data from a factor database into a store");
  cmd->add_option("--db", options->db, "factor database (SQLite)")->required()->check(CLI::ExistingFile);
  cmd->add_option("--start", options->start, "first date (YYYYMMDD or YYYY-MM-DD)")->required();
  cmd->add_option("--end", options->end, "last date (YYYYMMDD or YYYY-MM-DD)")->required();
  cmd->add_option("--store", options->store, "store directory to write")->required();
  cmd->add_flag("--incremental", options->incremental, "one batch query, single reads where it falls short");
  cmd->add_flag("--quiet", options->quiet, "no progress on the terminal");
  cmd->callback([options] { run_build(*options); });
}

}  // namespace velmora::tool
