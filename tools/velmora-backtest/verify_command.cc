#include <iostream>

#include "checks.h"
#include "commands.h"
#include "leftovers.h"
#include "messages.h"
#include "velmora/backtest/store.h"
#include "velmora/errors.h"

namespace velmora::tool {

namespace {

void run_verify(const std::string& store_dir) {
  check_existing_directory("--store", store_dir);
  const std::vector<std::string> faults = backtest::BinaryPreparedDataStore(store_dir).faults();
  for (const auto& fault : faults) std::cout << fault << "\n";
  // Leftovers waste disk but do not make the store unsound: warnings, the exit status unchanged.
  const std::vector<StoreLeftover> leftovers = find_leftovers(store_dir, leftover_finders());
  for (const auto& leftover : leftovers) std::cerr << "warning: leftover " << leftover_line(leftover) << "\n";
  if (!leftovers.empty()) {
    std::cerr << "warning: " << leftover_total(leftovers) << "; velmora-backtest clean --store " << store_dir
              << " removes them\n";
  }
  if (!faults.empty()) throw VelmoraError(messages::store_faults(store_dir, faults.size()));
  std::cout << "the store " << store_dir << " is sound\n";
}

}  // namespace

void add_verify_command(CLI::App& app) {
  auto store = std::make_shared<std::string>();
  CLI::App* cmd = app.add_subcommand("verify", "Check every file of a store; print every fault (exit 1 on any)");
  cmd->footer(
      "Checks every file against the manifest (size, CRC-32) and the metadata against the files:\n"
      "each dataset's file exists, its .npy header matches the recorded dtype and shape, and the\n"
      "label counts match. Lists what interrupted writes and downloads left around the store as\n"
      "warnings on stderr, with sizes (they do not change the exit status; clean removes them).");
  cmd->add_option("--store", *store, "store directory")->required();
  cmd->callback([store] { run_verify(*store); });
}

}  // namespace velmora::tool
