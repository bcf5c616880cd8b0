#include <iostream>

#include "commands.h"
#include "velmora/backtest/package.h"

namespace velmora::tool {

void add_package_command(CLI::App& app) {
  auto store = std::make_shared<std::string>();
  auto out = std::make_shared<std::string>();
  CLI::App* cmd = app.add_subcommand("package", "Pack a store into a zip archive (the publisher's side)");
  cmd->add_option("--store", *store, "store directory")->required()->check(CLI::ExistingDirectory);
  cmd->add_option("--out", *out, "zip archive to write")->required();
  cmd->callback([store, out] {
    std::size_t files = backtest::pack_store_archive(*store, *out);
    std::cout << "packed " << files << " files of " << *store << " into " << *out << "\n";
  });
}

}  // namespace velmora::tool
