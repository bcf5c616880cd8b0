#include <iostream>

#include "checks.h"
#include "commands.h"
#include "leftovers.h"
#include "progress.h"

namespace velmora::tool {

namespace {

struct CleanOptions {
  std::string store;
  bool dry_run = false;
  bool wait = false;
};

void run_clean(const CleanOptions& options) {
  check_existing_directory("--store", options.store);
  std::vector<StoreLeftover> leftovers;
  if (options.dry_run) {
    leftovers = find_leftovers(options.store, leftover_finders());
  } else {
    check_writable_directory("--store", options.store);
    StatusLine status(false);
    leftovers = remove_leftovers(options.store, leftover_finders(), writer_lock_options(options.wait, status));
    status.finish();
  }
  for (const auto& leftover : leftovers) std::cout << leftover_line(leftover) << "\n";
  if (leftovers.empty()) {
    std::cout << "no leftovers around the store " << options.store << "\n";
  } else {
    std::cout << (options.dry_run ? "would remove " : "removed ") << leftover_total(leftovers) << "\n";
  }
}

}  // namespace

void add_clean_command(CLI::App& app) {
  auto options = std::make_shared<CleanOptions>();
  CLI::App* cmd = app.add_subcommand("clean", "Remove what interrupted writes and downloads left around a store");
  cmd->footer(
      "Removes, under the store's writer lock, the partial and temporary files of an interrupted write,\n"
      "files the store's manifest lists that its metadata no longer names, staging directories of\n"
      "interrupted downloads beside the store and download archives that no running download holds.\n"
      "Never a file the store cannot prove it wrote: files of your own stay. verify lists the same.");
  cmd->add_option("--store", options->store, "store directory")->required();
  cmd->add_flag("--dry-run", options->dry_run, "list what would be removed, remove nothing");
  cmd->add_flag("--wait", options->wait, "wait for another writer of the store to finish instead of failing");
  cmd->callback([options] { run_clean(*options); });
}

}  // namespace velmora::tool
