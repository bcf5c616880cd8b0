#include "velmora/backtest/store_download.h"

#include "download/download_steps.h"
#include "download/package_files.h"
#include "extract/flatten.h"

namespace velmora::backtest {

StoreDownload download_into_store(const HttpClient& http, const std::filesystem::path& store_dir,
                                  const StoreDownloadOptions& options) {
  StoreDownload result;
  result.store = expand_user(store_dir);
  StoreWritingScope scope(result.store, options.lock, {_temp_dir_of(result.store)});
  const std::string address = _package_address(http);
  _fetch_package(address, result.store, options.progress, options.unpacking, scope.lock());
  if (const std::optional<std::filesystem::path> folder = _single_subdir(result.store)) {
    result.lifted = folder->filename().string();
    flatten_single_subdir(result.store);
  }
  scope.succeeded();
  return result;
}

}  // namespace velmora::backtest
