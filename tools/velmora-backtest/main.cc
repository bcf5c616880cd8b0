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
  app.failure_message(CLI::FailureMessage::help);  // a bad command line shows the usage
  velmora::tool::add_sample_command(app);
  velmora::tool::add_build_command(app);
  velmora::tool::add_load_command(app);
  velmora::tool::add_supplement_command(app);
  velmora::tool::add_download_command(app);
  velmora::tool::add_package_command(app);
  velmora::tool::add_update_command(app);
  auto known = [&app](const std::string& name) {
    for (const CLI::App* command : app.get_subcommands({}))
      if (command->get_name() == name) return true;
    return false;
  };
  if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
    std::cerr << "velmora-backtest: unknown command '" << argv[1] << "'\n" << app.help();
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::cerr << "velmora-backtest: " << e.what() << '\n';
    return 1;
  } catch (...) {
    std::cerr << "velmora-backtest: unexpected failure\n";
    return 1;
  }
  return 0;
}
