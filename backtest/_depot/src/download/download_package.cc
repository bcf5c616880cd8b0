#include <cerrno>
#include <string>
#include <string_view>

#include <sys/file.h>
#include <unistd.h>

#include "common/file_io.h"
#include "download/download_steps.h"
#include "download/package_files.h"
#include "download/stream_download.h"
#include "extract/install_package.h"
#include "messages.h"
#include "velmora/backtest/depot.h"
#include "velmora/errors.h"
#include "velmora/store_lock.h"

namespace velmora::backtest {
namespace {

std::string_view trim(std::string_view text) {
  constexpr std::string_view BLANKS = " \t\n\r\f\v";
  const auto first = text.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// The text field `key` of the service's answer; `fallback` when the answer is empty or lacks the field
// (a JSON null counts as lacking it).
std::string text_field(const Value& meta, const char* key, std::string_view fallback) {
  if (!meta.is_object()) return std::string(fallback);
  const auto found = meta.find(key);
  if (found == meta.end() || found->is_null()) return std::string(fallback);
  return found->get<std::string>();
}

// Deletes the call's archive; one that is already gone counts as deleted.
void remove_temp_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw_errno("cannot delete", path);
}

}  // namespace

std::string _package_address(const HttpClient& http) {
  const Value meta = http.get(BENCHMARK_DATA_PATH);

  std::string download_url(trim(text_field(meta, "download_url", "")));
  if (download_url.empty()) throw VelmoraError(std::string(messages::NO_DOWNLOAD_URL));
  std::string content_type(trim(text_field(meta, "content_type", CONTENT_TYPE_ZIP)));
  if (content_type.empty()) content_type = CONTENT_TYPE_ZIP;
  if (content_type != CONTENT_TYPE_ZIP) {
    throw VelmoraError(std::string(messages::UNSUPPORTED_CONTENT_TYPE) + content_type);
  }
  return download_url;
}

void _fetch_package(const std::string& download_url, const std::filesystem::path& store,
                    const DownloadProgress& progress, const UnpackProgress& unpacking, const StoreWriterLock& held) {
  _cleanup_stale_staging(store);  // may bring back a store that a killed download left aside
  std::filesystem::create_directories(store);
  const std::filesystem::path temp_dir = _temp_dir_of(store);
  std::filesystem::create_directories(temp_dir);
  _cleanup_stale_temp(temp_dir);

  // Held open and locked while the call runs, so that another download's stale clean-up leaves it alone.
  const CreatedFile created = create_unique_file(temp_dir, TEMP_FILE_PREFIX, TEMP_FILE_SUFFIX, 0600);
  const std::filesystem::path& archive = created.path;
  if (::flock(created.file.get(), LOCK_EX) != 0) throw_errno("cannot lock", archive);
  try {
    _stream_download(download_url, archive, DOWNLOAD_TIMEOUT, progress);
    _install_package(archive, store, unpacking, held);
  } catch (...) {
    remove_temp_file(archive);  // its own failure replaces the error in flight
    throw;
  }
  remove_temp_file(archive);
}

std::filesystem::path download_benchmark_package(const HttpClient& http, const std::filesystem::path& store_dir,
                                                 const DownloadProgress& progress, const UnpackProgress& unpacking) {
  const std::string download_url = _package_address(http);
  const std::filesystem::path store = expand_user(store_dir);
  StoreWriterLock lock(store);
  _fetch_package(download_url, store, progress, unpacking, lock);
  return store;
}

}  // namespace velmora::backtest
