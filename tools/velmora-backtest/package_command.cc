#include <iostream>

#include "checks.h"
#include "commands.h"
#include "progress.h"
#include "velmora/backtest/package.h"

namespace velmora::tool {

namespace {

struct PackageOptions {
  std::string store, out;
  bool quiet = false;
};

void run_package(const PackageOptions& options) {
  check_existing_directory("--store", options.store);
  check_writable_file("--out", options.out);
  StatusLine status(options.quiet);
  status.show("packing " + options.store);
  std::size_t files = backtest::pack_store_archive(options.store, options.out);
  status.finish();
  std::cout << "packed " << files << " files of " << options.store << " into " << options.out << "\n";
}

}  // namespace

void add_package_command(CLI::App& app) {
  auto options = std::make_shared<PackageOptions>();
  CLI::App* cmd = app.add_subcommand("package", "Pack a store into a zip archive (the publisher's side)");
  cmd->footer(
      "Packs the store's manifest.json, metadata.pkl and the files the manifest lists, nothing else:\n"
      "a file of your own in the store directory stays out. --store may also be a folder holding the\n"
      "store in a folder of its own (the package is then packed inside that folder).");
  cmd->add_option("--store", options->store, "store directory")->required();
  cmd->add_option("--out", options->out, "zip archive to write")->required();
  cmd->add_flag("--quiet", options->quiet, "no progress on the terminal");
  cmd->callback([options] { run_package(*options); });
}

}  // namespace velmora::tool
