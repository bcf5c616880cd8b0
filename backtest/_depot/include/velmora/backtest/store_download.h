#pragma once

// Downloading the benchmark package into a store as one workflow: the tool's `download` and the Python
// package's download_into_store.
//
//   StoreDownload fetched = download_into_store(cloud, "~/.velmora/backtest_data/enviroment_data", {});
//   if (fetched.lifted) ...   // the package was packed inside one folder, now lifted up
//
// It holds the store's writer lock from before the request for the package address to the end of the
// lift (velmora/store_writing.h), downloads and installs the package all or nothing as
// download_benchmark_package does (depot.h), and then lifts a package that was packed inside one folder up
// into the store directory (flatten_single_subdir), reporting the folder it lifted. A failed download
// removes the directories and the lock file it created (the store directory, its missing parents, the
// shared temp directory beside it).

#include <filesystem>
#include <optional>
#include <string>

#include "velmora/backtest/depot.h"
#include "velmora/backtest/depot_export.h"
#include "velmora/http_client.h"
#include "velmora/store_writing.h"

namespace velmora::backtest {

struct StoreDownloadOptions {
  StoreLockOptions lock;
  DownloadProgress progress;  // observes the transfer
  UnpackProgress unpacking;   // observes the unpacking
};

struct StoreDownload {
  std::filesystem::path store;          // the store directory, "~" expanded (as download_benchmark_package)
  std::optional<std::string> lifted;    // the name of the one folder whose contents were lifted up, if any
};

// Errors: those of download_benchmark_package, StoreLockedError included (LockWait::no), and the
// file-system errors of the lift.
VELMORA_DEPOT_EXPORT StoreDownload download_into_store(const HttpClient& http, const std::filesystem::path& store_dir,
                                                       const StoreDownloadOptions& options = {});

}  // namespace velmora::backtest
