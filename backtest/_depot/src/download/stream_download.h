#pragma once

// Streams one HTTP(S) address into a local file (internal; reached by the tests through this header).

#include <filesystem>
#include <string>

#include "velmora/backtest/depot.h"

namespace velmora::backtest {

// Fetches `url` with a plain GET (no credentials; redirects followed up to 20 times; TLS verified; content
// coding such as gzip removed) and writes the body to `dest` in pieces of DOWNLOAD_CHUNK_SIZE bytes,
// calling `progress` after each piece. `dest` is opened (created or truncated) only once the final response
// has a status in 200..299; a status failure leaves it untouched.
//
// Errors: NetworkError "下载回测基准数据失败: HTTP " + status (cause: HttpError with that status) for a final
// status outside 200..299; NetworkError "下载回测基准数据失败: 网络错误" (cause: a std::system_error in the
// "libcurl" category) for any transfer failure, time limits included. After a failure in the middle of
// the body `dest` holds the pieces written so far. Errors of the local file and of `progress` pass
// through unchanged.
VELMORA_DEPOT_EXPORT void _stream_download(const std::string& url, const std::filesystem::path& dest,
                                           const DownloadTimeout& timeout = DOWNLOAD_TIMEOUT,
                                           const DownloadProgress& progress = {});

}  // namespace velmora::backtest
