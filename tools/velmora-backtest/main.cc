// velmora-backtest: runs the prepared-data jobs from a terminal, playing the SDK host. Every failure ends as
// one line on stderr (the error's own message) and a non-zero exit status.

#include <cstdio>
#include <exception>
#include <iostream>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"velmora-backtest: prepare, store and fetch backtest market data"};
  app.set_version_flag("--version", std::string("velmora-backtest ") + VELMORA_VERSION);
  app.require_subcommand(1);
  velmora::tool::add_sample_command(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::cerr << "velmora-backtest: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
