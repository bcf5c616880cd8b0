#include <iostream>

#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "progress.h"
#include "velmora/backtest/store_download.h"
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

void run_download(const DownloadOptions& options) {
  HttpClient http(base_address(options.api), options.token);
  check_writable_directory("--store", options.store);

  StatusLine status(options.quiet);
  backtest::StoreDownloadOptions download;
  download.lock = writer_lock_options(options.wait, status);
  if (status.enabled()) {
    download.progress = [&status](std::uint64_t received, std::optional<std::uint64_t> total) {
      status.show(transfer_bar(received, total));
    };
    download.unpacking = [&status](std::uint64_t done, std::uint64_t total) {
      // After the last member the package is checked and put in place, which reports nothing on its own.
      status.show(done < total ? "unpacking " + std::to_string(done) + " of " + std::to_string(total) + " files"
                               : "checking the package and putting it in place");
    };
  }
  status.show("asking for the package address");
  const backtest::StoreDownload fetched = backtest::download_into_store(http, options.store, download);
  status.finish();

  if (options.json) {
    Value out = Value::object();
    out["store"] = fetched.store.string();
    out["flattened"] = fetched.lifted ? Value(*fetched.lifted) : Value();
    std::cout << out.dump(2) << "\n";
    return;
  }
  if (fetched.lifted && !options.flatten) std::cout << messages::flattened(*fetched.lifted, fetched.store.string()) << "\n";
  std::cout << "benchmark package unpacked into " << fetched.store.string() << "\n";
}

}  // namespace

void add_download_command(CLI::App& app) {
  auto options = std::make_shared<DownloadOptions>();
  CLI::App* cmd = app.add_subcommand("download", "Download and unpack the benchmark data package");
  cmd->footer(
      "The service is asked once:\n"
      "  GET <api>/api/v1/backtest-data/benchmark-data\n"
      "  Authorization: Bearer <token>          (no header without a token)\n"
      "and must answer a JSON object:\n"
      "  {\"download_url\": \"https://...\", \"content_type\": \"application/zip\"}\n"
      "download_url is required: the package's address, fetched with a plain GET without the token (a\n"
      "pre-signed or public link; redirects are followed). content_type may be left out; only\n"
      "application/zip is accepted. A failure names the address that failed, never the token. The package\n"
      "is a zip of a store (see package), put in place all or nothing; files of the old store that it does\n"
      "not replace stay, and the store's next write removes those no dataset names. README.md shows a\n"
      "local service of ten lines.");
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
