#include <cstdio>
#include <iostream>

#include "checks.h"
#include "commands.h"
#include "messages.h"
#include "progress.h"
#include "velmora/backtest/store_build.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/value.h"

namespace velmora::tool {

namespace {

struct BuildOptions {
  std::string db, start, end, store, drop_components;
  bool batch = false;
  bool allow_empty = false;
  bool quiet = false;
  bool json = false;
  bool wait = false;
};

// A full build makes one read per build input and component factor, and one for the benchmarks.
int expected_full_reads() {
  return static_cast<int>(backtest::BUILD_INPUT_NAMES.size() + backtest::get_component_factor_names().size() + 1);
}

void print_summary(const BuildOptions& options, const backtest::StoreBuild& built, double seconds) {
  if (options.json) {
    Value out = Value::object();
    out["store"] = options.store;
    out["start_date"] = built.start_date;
    out["end_date"] = built.end_date;
    out["datasets"] = built.datasets;
    out["benchmark_series"] = built.benchmark_series;
    out["dates"] = built.dates;
    out["instruments"] = built.instruments;
    out["components"] = built.components;
    out["kept_components"] = built.kept;
    out["dropped_components"] = built.dropped;
    out["seconds"] = seconds;
    std::cout << out.dump(2) << "\n";
    return;
  }
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.2f s", seconds);
  std::cout << "built " << built.start_date << " to " << built.end_date << " into " << options.store << ": "
            << built.datasets << " datasets and " << built.benchmark_series << " benchmark series, " << built.dates
            << " dates x " << built.instruments << " instruments, " << elapsed << "\n";
  if (!built.kept.empty()) std::cout << "kept the supplemented components " << messages::joined(built.kept) << "\n";
  if (!built.dropped.empty())
    std::cout << "dropped the supplemented components " << messages::joined(built.dropped) << "\n";
}

void run_build(const BuildOptions& options) {
  const DateRange range = checked_range(options.start, options.end);
  check_writable_directory("--store", options.store);
  std::shared_ptr<SqliteFactorService> database = open_factor_database(options.db);

  StatusLine status(options.quiet);
  backtest::StoreBuildOptions build;
  build.start_date = *range.start;
  build.end_date = *range.end;
  build.batch = options.batch;
  build.allow_empty = options.allow_empty;
  build.drop_components = backtest::parse_name_list(Value(options.drop_components));
  build.lock = writer_lock_options(options.wait, status);
  build.progress = [&status](const std::string& text) { status.show(text); };
  ScopedFactorService installed(std::make_shared<ObservedFactorService>(
      database, status, options.batch ? std::nullopt : std::optional<int>(expected_full_reads())));
  const backtest::StoreBuild built = backtest::build_into_store(options.store, build);
  status.finish();
  // The build's own time: a wait for another writer's lock is not part of it.
  print_summary(options, built, built.timings.build + built.timings.write);
  // Written all the same (a new store, or --allow-empty), but a store without data is worth a word.
  if (built.dates == 0) std::cerr << messages::empty_new_store(built.start_date, built.end_date, options.store) << "\n";
}

}  // namespace

void add_build_command(CLI::App& app) {
  auto options = std::make_shared<BuildOptions>();
  CLI::App* cmd = app.add_subcommand("build", "Build prepared data from a factor database into a store (replacing it)");
  cmd->footer(
      "Every build replaces the store's whole content with the dates from --start to --end.\n"
      "The components supplemented into the store are built again and kept (--drop-components leaves the\n"
      "named ones out); a build that finds no date is not written over a store that holds data unless\n"
      "--allow-empty is given.");
  cmd->add_option("--db", options->db, "factor database (SQLite)")->required();
  cmd->add_option("--start", options->start, std::string("first date (") + messages::DATE_FORMS + ")")->required();
  cmd->add_option("--end", options->end, std::string("last date (") + messages::DATE_FORMS + ")")->required();
  cmd->add_option("--store", options->store, "store directory to write (replaced as a whole)")->required();
  cmd->add_flag("--batch", options->batch, "read everything in one batch query, single reads where it falls short");
  cmd->add_flag("--incremental", options->batch)->group("");  // the former name of --batch
  cmd->add_flag("--allow-empty", options->allow_empty,
                "write a build that holds no date even over a store that holds data");
  cmd->add_option("--drop-components", options->drop_components,
                  "supplemented components to leave out of the store instead of building them again, "
                  "comma-separated");
  cmd->add_flag("--wait", options->wait, "wait for another writer of the store to finish instead of failing");
  cmd->add_flag("--json", options->json, "print the summary as JSON");
  cmd->add_flag("--quiet", options->quiet, "no progress on the terminal");
  cmd->callback([options] { run_build(*options); });
}

}  // namespace velmora::tool
