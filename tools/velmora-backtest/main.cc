// velmora-backtest: runs the prepared-data jobs from a terminal, playing the SDK host.
//
// Exit status: 0 success, 1 failure, 2 usage error, 128 + the signal's number when SIGINT or SIGTERM stopped a
// command that writes. A failure is one line on stderr: what the command could not do, in the tool's
// words, then the library's message and the chain of causes behind it. A usage error is one line in the
// tool's words plus a pointer to the command's help.

#include <cstdio>
#include <exception>
#include <iostream>

#include "commands.h"
#include "failure.h"
#include "interruption_watch.h"
#include "messages.h"

namespace {

int usage_error(const std::string& command, const std::string& message) {
  std::cerr << "velmora-backtest" << (command.empty() ? "" : " " + command) << ": " << message << '\n'
            << velmora::tool::messages::see_help(command) << '\n';
  return velmora::tool::EXIT_USAGE;
}

// The commands that write (a store, or the sample database), and stop at a safe point on SIGINT or SIGTERM
// instead of being killed in the middle of a write. The others keep the signals' default: they leave
// nothing half-written behind.
bool stops_at_safe_points(const std::string& command) {
  for (const char* name : {"sample", "build", "update", "supplement", "download"})
    if (command == name) return true;
  return false;
}

bool is_command(const CLI::App& app, const std::string& name) {
  for (const CLI::App* command : app.get_subcommands({}))
    if (command->get_name() == name) return true;
  return false;
}

// "help" prints the whole help, "help COMMAND" that command's. Handled before parsing, as the command
// name after it would otherwise be parsed as that command; it is registered so that the help lists it.
int run_help(const CLI::App& app, int argc, char** argv) {
  if (argc > 3) return usage_error("", velmora::tool::messages::HELP_ARGUMENTS);
  std::string topic = argc == 3 ? argv[2] : "";
  if (topic == "--help" || topic == "-h") topic = "help";  // "help --help" describes help itself
  const CLI::App* described = &app;
  if (!topic.empty()) {
    if (!is_command(app, topic)) return usage_error("", velmora::tool::messages::unknown_command(topic));
    described = app.get_subcommand(topic);
  }
  const std::string usage_name = topic.empty() ? app.get_name() : app.get_name() + " " + topic;
  std::cout << described->get_formatter()->make_help(described, usage_name, CLI::AppFormatMode::Normal);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velmora-backtest: prepare, store and fetch backtest market data", "velmora-backtest"};
  app.set_version_flag("--version", std::string("velmora-backtest ") + VELMORA_VERSION);
  velmora::tool::add_sample_command(app);
  velmora::tool::add_build_command(app);
  velmora::tool::add_load_command(app);
  velmora::tool::add_supplement_command(app);
  velmora::tool::add_download_command(app);
  velmora::tool::add_package_command(app);
  velmora::tool::add_verify_command(app);
  velmora::tool::add_update_command(app);
  velmora::tool::add_clean_command(app);
  app.add_subcommand("help", "Describe every command, or one: help [COMMAND]");

  const std::string command = argc > 1 && argv[1][0] != '-' ? argv[1] : "";
  if (!command.empty() && !is_command(app, command))
    return usage_error("", velmora::tool::messages::unknown_command(command));
  if (argc == 1) return usage_error("", velmora::tool::messages::NO_COMMAND);
  if (command == "help") return run_help(app, argc, argv);
  if (stops_at_safe_points(command)) velmora::tool::watch_interruptions();
  try {
    app.parse(argc, argv);
    if (app.get_subcommands().empty()) return usage_error("", velmora::tool::messages::NO_COMMAND);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    return usage_error(command, e.what());
  } catch (const velmora::tool::UsageError& e) {
    return usage_error(command, e.what());
  } catch (const std::exception& e) {
    // Whatever the stopped work threw on its way out (an interrupted download may fail as a transfer).
    if (const int signo = velmora::tool::interrupting_signal()) {
      std::cerr << "velmora-backtest: interrupted\n";
      return 128 + signo;
    }
    std::cerr << "velmora-backtest: " << velmora::tool::messages::failed_command(command) << ": "
              << velmora::tool::failure_text(e) << '\n';
    return velmora::tool::EXIT_FAILED;
  } catch (...) {
    std::cerr << "velmora-backtest: unexpected failure\n";
    return velmora::tool::EXIT_FAILED;
  }
  return 0;
}
