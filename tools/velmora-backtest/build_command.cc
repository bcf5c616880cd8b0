#include <cstdio>
#include <iostream>

#include "checks.h"
#include "commands.h"
#include "messages.h"
#include "progress.h"
#include "writer_lock.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/rebuild.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/value.h"

namespace velmora::tool {

namespace {

struct BuildOptions {
  std::string db, start, end, store;
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

std::vector<std::string> component_names(const backtest::Payload& payload) {
  std::vector<std::string> names;
  for (const Value& name : payload.meta.value("component_names", Value::array())) names.push_back(name);
  return names;
}

// The metadata of the store being replaced; an empty map when there is none, or when it cannot be read: a
// store whose metadata is damaged no longer loads, and a rebuild is how it is mended.
Value readable_metadata(const std::string& store_dir) {
  try {
    return backtest::BinaryPreparedDataStore(store_dir).load_metadata();
  } catch (const VelmoraError&) {
    return Value::object();
  }
}

void print_summary(const BuildOptions& options, const backtest::Payload& payload,
                   const std::vector<std::string>& kept, double seconds) {
  std::size_t matrices = 0;
  for (const auto& [key, entry] : payload.data)
    if (std::holds_alternative<backtest::WideMatrix>(entry)) ++matrices;
  const backtest::WideMatrix& close = payload.data.matrix("close_price");
  const std::size_t benchmarks = payload.data.benchmark_dict() ? payload.data.benchmark_dict()->size() : 0;
  if (options.json) {
    Value out = Value::object();
    out["store"] = options.store;
    out["start_date"] = payload.meta["start_date"];
    out["end_date"] = payload.meta["end_date"];
    out["datasets"] = matrices;
    out["benchmark_series"] = benchmarks;
    out["dates"] = close.rows();
    out["instruments"] = close.cols();
    out["components"] = payload.meta["component_names"];
    out["kept_components"] = kept;
    out["seconds"] = seconds;
    std::cout << out.dump(2) << "\n";
    return;
  }
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.2f s", seconds);
  std::cout << "built " << payload.meta["start_date"].get<std::string>() << " to "
            << payload.meta["end_date"].get<std::string>() << " into " << options.store << ": " << matrices
            << " datasets and " << benchmarks << " benchmark series, " << close.rows() << " dates x " << close.cols()
            << " instruments, " << elapsed << "\n";
  if (!kept.empty()) std::cout << "kept the supplemented components " << messages::joined(kept) << "\n";
}

void run_build(const BuildOptions& options) {
  const DateRange range = checked_range(options.start, options.end);
  check_writable_directory("--store", options.store);
  std::shared_ptr<SqliteFactorService> database = open_factor_database(options.db);

  StatusLine status(options.quiet);
  WritingScope scope(options.store, {}, options.wait, status);
  auto service = std::make_shared<ObservedFactorService>(
      database, status, options.batch ? std::nullopt : std::optional<int>(expected_full_reads()));
  ScopedFactorService installed(service);

  backtest::GroupPreparedDataBuilder builder(*range.start, *range.end);
  backtest::Payload payload = options.batch ? builder.build_incremental() : builder.build();

  // A write replaces the whole store: it must neither empty a good store by accident nor drop the
  // components that were supplemented into it.
  const Value existing = readable_metadata(options.store);
  const bool store_has_data = existing.is_object() && existing.contains("datasets");
  if (store_has_data && !options.allow_empty && payload.data.matrix("close_price").rows() == 0)
    throw VelmoraError(messages::empty_build_over_store(*range.start, *range.end, options.store));
  const std::vector<std::string> kept = backtest::keep_store_components(builder, existing, payload);

  status.show("writing the store");
  backtest::BinaryPreparedDataStore store(options.store, component_names(payload));
  store.write(payload);
  status.finish();
  scope.succeeded();
  print_summary(options, payload, kept, status.elapsed_seconds());
}

}  // namespace

void add_build_command(CLI::App& app) {
  auto options = std::make_shared<BuildOptions>();
  CLI::App* cmd = app.add_subcommand("build", "Build prepared data from a factor database into a store (replacing it)");
  cmd->footer(
      "Every build replaces the store's whole content with the dates from --start to --end.\n"
      "The components supplemented into the store are built again and kept; a build that finds no date\n"
      "is not written over a store that holds data unless --allow-empty is given.");
  cmd->add_option("--db", options->db, "factor database (SQLite)")->required();
  cmd->add_option("--start", options->start, "first date (YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD)")->required();
  cmd->add_option("--end", options->end, "last date (YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD)")->required();
  cmd->add_option("--store", options->store, "store directory to write (replaced as a whole)")->required();
  cmd->add_flag("--batch", options->batch, "read everything in one batch query, single reads where it falls short");
  cmd->add_flag("--incremental", options->batch)->group("");  // the former name of --batch
  cmd->add_flag("--allow-empty", options->allow_empty,
                "write a build that holds no date even over a store that holds data");
  cmd->add_flag("--wait", options->wait, "wait for another writer of the store to finish instead of failing");
  cmd->add_flag("--json", options->json, "print the summary as JSON");
  cmd->add_flag("--quiet", options->quiet, "no progress on the terminal");
  cmd->callback([options] { run_build(*options); });
}

}  // namespace velmora::tool
