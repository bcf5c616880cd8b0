#include "velmora/http_client.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include <curl/curl.h>

#include "velmora/errors.h"

namespace velmora {
namespace {

// Connecting may take 10 s; the answer must keep arriving at 1 byte/s or more, measured over 60 s.
constexpr long CONNECT_TIMEOUT_MS = 10000;
constexpr long IDLE_TIMEOUT_S = 60;

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// curl_slist_append returns the head of the grown list, or null (leaving the list as it was) when it
// cannot allocate.
void add_header(HeaderList& list, const std::string& line) {
  curl_slist* head = curl_slist_append(list.get(), line.c_str());
  if (!head) throw std::bad_alloc();
  (void)list.release();
  list.reset(head);
}

size_t append_body(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

bool is_blank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

HttpClient::HttpClient(std::string base_url, std::string token)
    : base_url_(std::move(base_url)), token_(std::move(token)) {}

Value HttpClient::get(const std::string& path) const {
  const std::string url = base_url_ + path;
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) throw HttpError("GET " + url + " failed: cannot create a transfer handle");

  HeaderList headers;
  add_header(headers, "Accept: application/json");
  if (!token_.empty()) add_header(headers, "Authorization: Bearer " + token_);

  std::string body;
  char error_text[CURL_ERROR_SIZE] = "";
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, IDLE_TIMEOUT_S);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);

  const CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    try {
      throw TransportError(curl_easy_strerror(code));
    } catch (const TransportError&) {
      std::throw_with_nested(HttpError("GET " + url + " failed: " + (error_text[0] ? error_text : curl_easy_strerror(code))));
    }
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) {
    throw HttpError("GET " + url + " answered HTTP " + std::to_string(status), status);
  }

  if (is_blank(body)) return Value();
  Value payload;
  try {
    payload = Value::parse(body);
  } catch (const Value::parse_error&) {
    std::throw_with_nested(HttpError("GET " + url + " answered a body that is not JSON"));
  }
  if (!payload.is_object() && !payload.is_null()) {
    throw HttpError("GET " + url + " answered JSON that is not an object");
  }
  return payload;
}

}  // namespace velmora
