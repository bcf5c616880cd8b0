#pragma once

// The two steps of a package download, so that the function that owns the workflow decides when the
// store's writer lock is taken: download_benchmark_package asks for the address first and creates nothing
// when it is refused; download_into_store takes the lock first, so that its clean-up of what it created
// happens under the lock.

#include <filesystem>
#include <string>

#include "velmora/backtest/depot.h"
#include "velmora/http_client.h"
#include "velmora/store_lock.h"

namespace velmora::backtest {

// The package's download address from the service's answer to GET BENCHMARK_DATA_PATH. Throws VelmoraError
// when the answer names no address or a type other than CONTENT_TYPE_ZIP; errors of `http` pass through.
std::string _package_address(const HttpClient& http);

// Downloads `address` and puts the package in place in `store` ("~" already expanded), all or nothing, as
// download_benchmark_package describes. REQUIRES: the caller holds the store's writer lock: `held` is the
// lock of `store`.
void _fetch_package(const std::string& address, const std::filesystem::path& store, const DownloadProgress& progress,
                    const UnpackProgress& unpacking, const StoreWriterLock& held);

}  // namespace velmora::backtest
