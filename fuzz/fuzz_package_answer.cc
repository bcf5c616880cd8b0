// The package service's answer (the JSON body of the download-address request) through the request step.
// The signed client is a concrete class that always speaks HTTP, so the answer is served for real: a
// loopback server on 127.0.0.1 answers the address request with the fuzz bytes. Any download the answer
// leads to goes through a proxy setting that points at a refused loopback port (only 127.0.0.1 itself is
// reached directly), so no other address is ever contacted.
//
// Invariants: the outcome is the one a reference decides from the same body: an HttpError for a body that
// is not a JSON object (or null), the no-address error for an empty or blank address, the unsupported-type
// error for any other type than "application/zip" (blanks trimmed, empty meaning zip) — in those cases with
// nothing created on disk — and otherwise a download attempt, which fails as a NetworkError or as a package
// error of the extraction, or succeeds. A present field that is not text has no designed handling; it must
// still end in an error, not a crash.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <httplib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "fuzz_check.h"
#include "velmora/backtest/depot.h"
#include "velmora/errors.h"
#include "velmora/http_client.h"

namespace fs = std::filesystem;
using velmora::Value;

namespace {

const std::string NO_DOWNLOAD_URL = "服务端未返回有效的回测基准数据下载地址";
const std::string UNSUPPORTED_CONTENT_TYPE = "不支持的回测基准数据包格式: ";

std::mutex body_mutex;
std::string current_body;
int server_port = 0;

// A loopback port bound but never listened on: every connection to it is refused while the process lives.
int refused_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  FUZZ_CHECK(fd >= 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
  FUZZ_CHECK(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  return ntohs(address.sin_port);  // the socket stays open, so nothing else takes the port
}

void start_server() {
  static httplib::Server server;
  server.Get(velmora::backtest::BENCHMARK_DATA_PATH, [](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(body_mutex);
    response.set_content(current_body, "application/json");
  });
  server_port = server.bind_to_any_port("127.0.0.1");
  FUZZ_CHECK(server_port > 0);
  std::thread([] { server.listen_after_bind(); }).detach();
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string trim(const std::string& text) {
  const char* blanks = " \t\n\r\f\v";
  auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

enum class Outcome { client_error, no_address, unsupported, not_text, download };

// What the request step must do with `body`; `type` receives the trimmed content type.
Outcome reference(const std::string& body, std::string& type) {
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) return Outcome::no_address;
  Value meta = Value::parse(body, nullptr, false);
  if (meta.is_discarded() || !(meta.is_object() || meta.is_null())) return Outcome::client_error;
  auto field = [&](const char* key, const std::string& fallback, bool& text) -> std::string {
    text = true;
    if (!meta.is_object() || !meta.contains(key) || meta[key].is_null()) return fallback;
    if (!meta[key].is_string()) {
      text = false;
      return "";
    }
    return meta[key].get<std::string>();
  };
  bool text = true;
  std::string url = trim(field("download_url", "", text));
  if (!text) return Outcome::not_text;
  if (url.empty()) return Outcome::no_address;
  type = trim(field("content_type", "application/zip", text));
  if (!text) return Outcome::not_text;
  if (type.empty()) type = "application/zip";
  return type == "application/zip" ? Outcome::download : Outcome::unsupported;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string proxy = "http://127.0.0.1:" + std::to_string(refused_port());
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    setenv(name, proxy.c_str(), 1);
  }
  setenv("no_proxy", "127.0.0.1", 1);
  setenv("NO_PROXY", "127.0.0.1", 1);
  start_server();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  {
    std::lock_guard lock(body_mutex);
    current_body = body;
  }
  std::string type;
  const Outcome expected = reference(body, type);

  std::string pattern = (fs::temp_directory_path() / "fuzz_answer.XXXXXX").string();
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  const fs::path base = pattern;
  const velmora::HttpClient http("http://127.0.0.1:" + std::to_string(server_port));

  Outcome got = Outcome::download;
  try {
    velmora::backtest::download_benchmark_package(http, base / "data" / "store");
  } catch (const velmora::NetworkError&) {
    got = Outcome::download;
  } catch (const velmora::HttpError&) {
    got = Outcome::client_error;
  } catch (const velmora::VelmoraError& error) {
    const std::string message = error.what();
    if (message == NO_DOWNLOAD_URL) got = Outcome::no_address;
    else if (message == UNSUPPORTED_CONTENT_TYPE + type) got = Outcome::unsupported;
    else got = Outcome::download;  // the extraction's package errors
  } catch (const Value::type_error&) {
    got = Outcome::not_text;
  }
  FUZZ_CHECK(got == expected, "outcome %d, expected %d", static_cast<int>(got), static_cast<int>(expected));
  if (expected != Outcome::download) FUZZ_CHECK(fs::is_empty(base), "a refused answer created something");

  std::error_code ignored;
  fs::remove_all(base, ignored);
  return 0;
}
