#include <iostream>

#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "progress.h"
#include "writer_lock.h"
#include "velmora/backtest/depot.h"
#include "velmora/http_client.h"

namespace velmora::tool {

namespace {

struct DownloadOptions {
  std::string api, token, store;
  bool flatten = false;
  bool quiet = false;
  bool json = false;
  bool wait = false;
};

// The base address without the trailing "/" that would double the one every API path starts with.
std::string base_address(std::string api) {
  while (api.ends_with('/')) api.pop_back();
  if (api.empty()) throw UsageError(messages::EMPTY_API);
  return api;
}

// The one visible entry of `store` when it is a directory and the store has no metadata at its top: the
// folder that flatten_single_subdir lifts up.
std::optional<std::string> single_folder(const std::filesystem::path& store) {
  std::error_code error;
  if (std::filesystem::exists(store / "metadata.pkl", error)) return std::nullopt;
  std::optional<std::string> folder;
  for (const auto& entry : std::filesystem::directory_iterator(store, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with('.')) continue;
    if (folder || !entry.is_directory(error)) return std::nullopt;
    folder = name;
  }
  return folder;
}

void run_download(const DownloadOptions& options) {
  HttpClient http(base_address(options.api), options.token);
  check_writable_directory("--store", options.store);

  StatusLine status(options.quiet);
  const std::filesystem::path temp_dir =
      std::filesystem::path(options.store).lexically_normal().parent_path() / backtest::TEMP_DIR_NAME;
  WritingScope scope(options.store, {temp_dir}, options.wait, status);
  backtest::DownloadProgress progress;
  backtest::UnpackProgress unpacking;
  if (status.enabled()) {
    progress = [&status](std::uint64_t received, std::optional<std::uint64_t> total) {
      status.show(transfer_bar(received, total));
    };
    unpacking = [&status](std::uint64_t done, std::uint64_t total) {
      // After the last member the package is checked and put in place, which reports nothing on its own.
      status.show(done < total ? "unpacking " + std::to_string(done) + " of " + std::to_string(total) + " files"
                               : "checking the package and putting it in place");
    };
  }
  status.show("asking for the package address");
  std::filesystem::path store = backtest::download_benchmark_package(http, options.store, progress, unpacking);
  status.finish();

  const std::optional<std::string> folder = single_folder(store);
  if (folder || options.flatten) backtest::flatten_single_subdir(store);
  scope.succeeded();
  if (options.json) {
    Value out = Value::object();
    out["store"] = store.string();
    out["flattened"] = folder ? Value(*folder) : Value();
    std::cout << out.dump(2) << "\n";
    return;
  }
  if (folder && !options.flatten) std::cout << messages::flattened(*folder, store.string()) << "\n";
  std::cout << "benchmark package unpacked into " << store.string() << "\n";
}

}  // namespace

void add_download_command(CLI::App& app) {
  auto options = std::make_shared<DownloadOptions>();
  CLI::App* cmd = app.add_subcommand("download", "Download and unpack the benchmark data package");
  cmd->add_option("--api", options->api, "base URL of the cloud service")->required();
  cmd->add_option("--token", options->token, "access token of the cloud service")->envname("VELMORA_TOKEN");
  cmd->add_option("--store", options->store, "store directory to unpack into")->required();
  cmd->add_flag("--flatten", options->flatten,
                "lift a single nested directory up into the store directory (done anyway when the package is "
                "one folder, with a note)");
  cmd->add_flag("--wait", options->wait, "wait for another writer of the store to finish instead of failing");
  cmd->add_flag("--json", options->json, "print the summary as JSON");
  cmd->add_flag("--quiet", options->quiet, "no progress bar on the terminal");
  cmd->callback([options] { run_download(*options); });
}

}  // namespace velmora::tool
