#include <iostream>

#include "commands.h"
#include "progress.h"
#include "velmora/backtest/depot.h"
#include "velmora/http_client.h"

namespace velmora::tool {

namespace {

struct DownloadOptions {
  std::string api, store;
  bool flatten = false;
  bool quiet = false;
};

void run_download(const DownloadOptions& options) {
  HttpClient http(options.api);
  StatusLine status(options.quiet);
  backtest::DownloadProgress progress;
  if (status.enabled())
    progress = [&status](std::uint64_t received, std::optional<std::uint64_t> total) {
      status.show(transfer_bar(received, total));
    };
  std::filesystem::path store = backtest::download_benchmark_package(http, options.store, progress);
  status.finish();
  if (options.flatten) backtest::flatten_single_subdir(store);
  std::cout << "benchmark package unpacked into " << store.string() << "\n";
}

}  // namespace

void add_download_command(CLI::App& app) {
  auto options = std::make_shared<DownloadOptions>();
  CLI::App* cmd = app.add_subcommand("download", "Download and unpack the benchmark data package");
  cmd->add_option("--api", options->api, "base URL of the cloud service")->required();
  cmd->add_option("--store", options->store, "store directory to unpack into")->required();
  cmd->add_flag("--flatten", options->flatten, "lift a single nested directory up into the store directory");
  cmd->add_flag("--quiet", options->quiet, "no progress bar on the terminal");
  cmd->callback([options] { run_download(*options); });
}

}  // namespace velmora::tool
