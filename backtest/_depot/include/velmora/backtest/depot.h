#pragma once

// The benchmark data package: the ready-made prepared-data store that the velmora cloud service offers for
// download. `download_benchmark_package` fetches the package and unpacks it into a local store directory;
// `flatten_single_subdir` lifts a package that was packed inside one nested directory up into the store
// directory.
//
// Layout on disk, for a store directory S:
//   S/                       the package contents (among them metadata.pkl once the package is laid out flat)
//   parent(S)/temp/          shared by every download under parent(S); never removed
//   parent(S)/temp/download_<random>.pkg   the archive while one call runs; deleted when the call ends
//   parent(S)/.S.staging-<random>/         the new store while it is unpacked and checked
//   parent(S)/.S.lock        the store's writer lock (velmora/store_lock.h) while a call runs
//
// A download is all or nothing: the package is unpacked into the staging directory over hard links of the
// current store's files, checked, and exchanged with S in one atomic step, so a failed, damaged or killed
// download leaves S byte for byte as it was. The result is as if the package had been unpacked over S:
// files of an earlier package stay unless the new package replaces them. A download holds the store's
// writer lock throughout.
//
// Each download deletes the download_*.pkg files that killed runs left in the shared temp directory when it
// starts; the archive of a download still running is locked and left alone, so downloads of different
// stores under one parent may run at the same time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/backtest/depot_export.h"
#include "velmora/http_client.h"

namespace velmora::backtest {

// Network time limits of the package transfer. `connect` bounds establishing the connection; `idle` bounds
// every single wait for the connection to accept or deliver data, never the transfer as a whole, so a
// large package that keeps arriving is never cut off.
struct DownloadTimeout {
  std::chrono::milliseconds connect;
  std::chrono::seconds idle;
};

// The cloud path that answers the package's download address ("download_url") and type ("content_type").
inline const std::string BENCHMARK_DATA_PATH = std::string(API_PREFIX) + "/backtest-data/benchmark-data";
// The only package type accepted, and the type assumed when the service names none.
inline constexpr std::string_view CONTENT_TYPE_ZIP = "application/zip";
inline constexpr DownloadTimeout DOWNLOAD_TIMEOUT{std::chrono::milliseconds(10000), std::chrono::seconds(300)};
// The archive is written to disk in pieces of this many bytes (the last piece may be shorter).
inline constexpr std::size_t DOWNLOAD_CHUNK_SIZE = 1048576;
inline constexpr std::string_view TEMP_DIR_NAME = "temp";
inline constexpr std::string_view TEMP_FILE_PREFIX = "download_";
inline constexpr std::string_view TEMP_FILE_SUFFIX = ".pkg";

// Observes a transfer: called after every piece written to disk with the bytes written so far and, when
// the server announced it for an unencoded body, the total size.
using DownloadProgress = std::function<void(std::uint64_t received, std::optional<std::uint64_t> total)>;

// Observes the unpacking: called after each member of the archive is unpacked with the members done so far
// and their total. The package is checked and put in place after the last call.
using UnpackProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Asks `http` for the package address (GET BENCHMARK_DATA_PATH), takes the store's writer lock, downloads
// the zip archive into a fresh temporary file under parent(S)/temp, puts its contents in place in S all or
// nothing (see above) and deletes the temporary file whatever the outcome. A package that carries a
// manifest.json is checked against it before it replaces anything. S is `store_dir` with a leading "~" or
// "~name" expanded to a home directory (not made absolute); S and parent(S)/temp are created when missing.
// `progress` observes the transfer, `unpacking` the unpacking. Returns S.
//
// Errors: VelmoraError "服务端未返回有效的回测基准数据下载地址" (no address; nothing is created) or
// "不支持的回测基准数据包格式: " + type (nothing is created); StoreLockedError while another process
// writes S; NetworkError when the transfer fails; VelmoraError when the archive holds an entry outside S or is
// damaged (S unchanged in both cases). Errors of `http` and of the file system pass through unchanged.
VELMORA_DEPOT_EXPORT std::filesystem::path download_benchmark_package(const HttpClient& http,
                                                                      const std::filesystem::path& store_dir,
                                                                      const DownloadProgress& progress = {},
                                                                      const UnpackProgress& unpacking = {});

// When the only entry of `store_dir` not starting with "." is a directory (or a link to one) and there is
// no metadata.pkl at the top, moves every entry of that directory (hidden ones included) up into
// `store_dir` and removes it; otherwise changes nothing. A move never replaces an entry already at the
// top: such a name raises a file-system error. Stops at the first failing move; entries moved before it
// stay moved. Raises only file-system errors.
VELMORA_DEPOT_EXPORT void flatten_single_subdir(const std::filesystem::path& store_dir);

}  // namespace velmora::backtest
