#include "download/stream_download.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include <curl/curl.h>

#include "download/piece_writer.h"
#include "messages.h"
#include "velmora/errors.h"
#include "velmora/interruption.h"

namespace velmora::backtest {
namespace {

constexpr long MAX_REDIRECTS = 20;

class CurlCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "libcurl"; }
  std::string message(int code) const override { return curl_easy_strerror(static_cast<CURLcode>(code)); }
};

const std::error_category& curl_category() {
  static const CurlCategory category;
  return category;
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// True when `line` is the header `name` (compared without regard to case); `value` receives its value.
bool is_header(std::string_view line, std::string_view name, std::string_view& value) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
  }
  value = line.substr(name.size() + 1);
  // Blanks and the line end trimmed; a value of blanks only is empty (a blank Location names no address).
  const auto first = value.find_first_not_of(" \t\r\n");
  const auto last = value.find_last_not_of(" \t\r\n");
  value = first == std::string_view::npos ? std::string_view() : value.substr(first, last - first + 1);
  return true;
}

// State of one transfer, shared with curl's callbacks. The callbacks never let an exception cross into
// curl: they keep it in `local_error` and abort the transfer.
struct Transfer {
  CURL* handle;
  PieceWriter writer;
  std::optional<long> final_status;  // set when the headers of the response that is not followed end
  bool location_seen = false;        // of the response whose headers are arriving
  bool encoded = false;
  std::exception_ptr local_error;

  // Decides at the end of one response's headers whether this is the final response; for a final 2xx
  // opens the destination. Returns false to abort the transfer.
  bool headers_complete() {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    // 0 is a proxy's CONNECT answer, 1xx an interim answer, 3xx with Location a redirect curl follows.
    if (status < 200 || (status >= 300 && status < 400 && location_seen)) return true;
    final_status = status;
    if (status > 299) return false;
    curl_off_t length = -1;
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    std::optional<std::uint64_t> total;
    if (length >= 0 && !encoded) total = static_cast<std::uint64_t>(length);
    try {
      writer.open(total);
    } catch (...) {
      local_error = std::current_exception();
      return false;
    }
    return true;
  }
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::string_view line(data, size * count);
  if (transfer.final_status) return line.size();  // trailers after the body
  std::string_view value;
  if (line.starts_with("HTTP/")) {
    transfer.location_seen = false;
    transfer.encoded = false;
  } else if (is_header(line, "location", value)) {
    transfer.location_seen = !value.empty();
  } else if (is_header(line, "content-encoding", value)) {
    transfer.encoded = !value.empty() && value != "identity";
  } else if (line == "\r\n" || line == "\n") {
    if (!transfer.headers_complete()) return 0;
  }
  return line.size();
}

// Called by curl about once a second even while no data moves, so that an interruption also ends a transfer
// that has stalled. A non-zero answer aborts the transfer.
int on_progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return interruption_requested() ? 1 : 0; }

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  try {
    throw_if_interrupted();  // the transfer ends here, and the caller deletes the partial archive
    transfer.writer.append(data, size * count);
  } catch (...) {
    transfer.local_error = std::current_exception();
    return 0;
  }
  return size * count;
}

// `url` as a failure may name it: without a query or fragment (a pre-signed address carries its signature
// there) and without user information, so that no credential reaches a message.
std::string shown_url(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const std::size_t scheme_end = url.find("://");
  const std::size_t authority = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
  const std::size_t authority_end = std::min(url.find('/', authority), url.size());
  const std::size_t at = url.substr(0, authority_end).rfind('@');
  if (at == std::string_view::npos || at < authority) return std::string(url);
  return std::string(url.substr(0, authority)) + std::string(url.substr(at + 1));
}

[[noreturn]] void throw_network_error(std::string_view message, std::exception_ptr cause) {
  NetworkError(std::string(message), std::move(cause)).throw_with_cause();
}

}  // namespace

void _stream_download(const std::string& url, const std::filesystem::path& dest, const DownloadTimeout& timeout,
                      const DownloadProgress& progress) {
  // Declared before the transfer so that the file (inside the transfer) is closed before the connection.
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) throw std::bad_alloc();
  Transfer transfer{handle.get(), PieceWriter(dest, progress), {}, false, false, {}};

  char error_text[CURL_ERROR_SIZE] = "";
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
  // Only web addresses: a redirect to file:// or another scheme must not read or reach anything else.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.connect.count()));
  // An idle limit, not a limit on the whole transfer: abort only when less than one byte a second moved
  // during a whole `idle` period.
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeout.idle.count()));
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

  const CURLcode code = curl_easy_perform(h);
  if (code == CURLE_ABORTED_BY_CALLBACK && interruption_requested()) throw InterruptedError();
  // The address that failed: after redirects, the last one asked.
  const char* effective = nullptr;
  curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
  const std::string failed_url = shown_url(effective ? effective : url);
  if (transfer.final_status && (*transfer.final_status < 200 || *transfer.final_status > 299)) {
    const std::string status = std::to_string(*transfer.final_status);
    throw_network_error(std::string(messages::DOWNLOAD_HTTP_STATUS) + status,
                        std::make_exception_ptr(HttpError("GET " + failed_url + " answered HTTP " + status,
                                                          *transfer.final_status)));
  }
  if (transfer.local_error) std::rethrow_exception(transfer.local_error);
  if (code != CURLE_OK) {
    throw_network_error(messages::DOWNLOAD_NETWORK,
                        std::make_exception_ptr(std::system_error(
                            code, curl_category(),
                            "GET " + failed_url + " failed: " + (error_text[0] ? error_text : curl_easy_strerror(code)))));
  }
  // A transfer can end without a final response: only interim answers, or a redirect that was not
  // followed. Nothing was received, so it is a transfer failure, never an empty success.
  if (!transfer.final_status) {
    throw_network_error(messages::DOWNLOAD_NETWORK,
                        std::make_exception_ptr(std::system_error(
                            CURLE_WEIRD_SERVER_REPLY, curl_category(),
                            "GET " + failed_url + " ended without a final response")));
  }
  transfer.writer.finish();
}

}  // namespace velmora::backtest
