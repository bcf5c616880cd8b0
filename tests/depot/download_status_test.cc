// Final statuses of every class, and exchanges that never reach a final status, end a package download in
// an error: never in a success, never in an extracted store. A raw loopback responder writes each exchange
// byte for byte, so that answers an HTTP library would not send (a 1xx and nothing else, a 3xx without a
// Location) can be tried.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "download/stream_download.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "velmora/backtest/depot.h"
#include "velmora/errors.h"
#include "velmora/http_client.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::expect_kind;
using testing::nested_cause;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::string NETWORK = "下载回测基准数据失败: 网络错误";
const std::string HTTP_STATUS = "下载回测基准数据失败: HTTP ";
const std::string DAMAGED = "回测基准数据包损坏,无法解压";
constexpr DownloadTimeout SHORT{std::chrono::milliseconds(2000), std::chrono::seconds(2)};

// Answers each request on 127.0.0.1 with the bytes registered for its path (the request line's second
// word), then closes the connection. Unknown paths get a 404.
class RawResponder {
 public:
  explicit RawResponder(std::map<std::string, std::string> answers) : answers_(std::move(answers)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawResponder() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  void serve() {
    while (!stopping_) {
      int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      std::string path = request.substr(0, request.find("\r\n"));
      path = path.substr(path.find(' ') + 1);
      path = path.substr(0, path.find(' '));
      auto found = answers_.find(path);
      const std::string answer = found != answers_.end()
                                     ? found->second
                                     : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::shutdown(client, SHUT_WR);
      while (::recv(client, buffer, sizeof buffer, 0) > 0) {
      }
      ::close(client);
    }
  }

  std::map<std::string, std::string> answers_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

std::string response(const std::string& status_line, const std::string& headers = "", const std::string& body = "") {
  return "HTTP/1.1 " + status_line + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

struct StatusCase {
  std::string label;
  std::string answer;      // the bytes the server sends for the package address
  std::string message;     // of the NetworkError the transfer fails with
};

// One case per class of status that is not a 2xx with a body, and per exchange without a final status.
std::vector<StatusCase> failing_transfers() {
  return {
      {"1xx and the connection closes", "HTTP/1.1 100 Continue\r\n\r\n", NETWORK},
      {"two 1xx and the connection closes", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </x>\r\n\r\n",
       NETWORK},
      {"300 without Location", response("300 Multiple Choices", "", "pick one"), HTTP_STATUS + "300"},
      {"301 without Location", response("301 Moved Permanently"), HTTP_STATUS + "301"},
      {"302 with an empty Location", response("302 Found", "Location: \r\n"), HTTP_STATUS + "302"},
      {"303 without Location", response("303 See Other"), HTTP_STATUS + "303"},
      {"304 without Location", "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n", HTTP_STATUS + "304"},
      {"307 without Location", response("307 Temporary Redirect"), HTTP_STATUS + "307"},
      {"308 without Location", response("308 Permanent Redirect"), HTTP_STATUS + "308"},
      {"1xx then 404", "HTTP/1.1 100 Continue\r\n\r\n" + response("404 Not Found", "", "gone"), HTTP_STATUS + "404"},
      {"400", response("400 Bad Request"), HTTP_STATUS + "400"},
      {"403", response("403 Forbidden", "", "<html>expired link</html>"), HTTP_STATUS + "403"},
      {"404", response("404 Not Found"), HTTP_STATUS + "404"},
      {"410", response("410 Gone"), HTTP_STATUS + "410"},
      {"429", response("429 Too Many Requests", "Retry-After: 1\r\n"), HTTP_STATUS + "429"},
      {"500", response("500 Internal Server Error"), HTTP_STATUS + "500"},
      {"502", response("502 Bad Gateway"), HTTP_STATUS + "502"},
      {"503", response("503 Service Unavailable"), HTTP_STATUS + "503"},
      {"599", response("599 Network Timeout"), HTTP_STATUS + "599"},
      {"a status line that is not HTTP", "SSH-2.0-OpenSSH_9.2\r\n\r\n", NETWORK},
      {"nothing at all", "", NETWORK},
  };
}

TEST(DownloadStatusTest, EveryFinalStatusOutside2xxAndEveryExchangeWithoutOneIsANetworkError) {
  std::map<std::string, std::string> answers;
  const auto cases = failing_transfers();
  for (std::size_t i = 0; i < cases.size(); ++i) answers["/case" + std::to_string(i)] = cases[i].answer;
  RawResponder server(answers);
  TempDir dir;
  const fs::path dest = dir / "download.pkg";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].label);
    write_file(dest, "keep me");
    const auto error = expect_error<NetworkError>(
        [&] { _stream_download(server.url("/case" + std::to_string(i)), dest, SHORT); }, cases[i].message);
    if (error && cases[i].message != NETWORK) {
      const long status = std::stol(cases[i].message.substr(HTTP_STATUS.size()));
      expect_kind<HttpError>(nested_cause(error), [&](const HttpError& cause) {
        EXPECT_EQ(cause.status(), status);
        EXPECT_EQ(std::string(cause.what()),
                  "GET " + server.url("/case" + std::to_string(i)) + " answered HTTP " + std::to_string(status));
      });
    }
    EXPECT_EQ(read_file(dest), "keep me") << "a failed status must not touch the destination";
  }
}

TEST(DownloadStatusTest, AFailureNamesTheAddressThatFailedWithoutItsSignatureOrUser) {
  RawResponder server(std::map<std::string, std::string>{
      {"/signed?X-Signature=first-secret", response("302 Found", "Location: /expired?X-Signature=second-secret\r\n")},
      {"/expired?X-Signature=second-secret", response("403 Forbidden")},
  });
  TempDir dir;
  std::string address = server.url("/signed?X-Signature=first-secret#part");
  address.insert(address.find("://") + 3, "user:password@");
  const auto error =
      expect_error<NetworkError>([&] { _stream_download(address, dir / "download.pkg", SHORT); }, HTTP_STATUS + "403");
  ASSERT_TRUE(error != nullptr);
  expect_kind<HttpError>(nested_cause(error), [&](const HttpError& cause) {
    EXPECT_EQ(std::string(cause.what()), "GET " + server.url("/expired") + " answered HTTP 403");
  });
}

TEST(DownloadStatusTest, RedirectWithLocationIsFollowedToTheFinalStatus) {
  RawResponder server(std::map<std::string, std::string>{
      {"/moved", response("301 Moved Permanently", "Location: /final\r\n")},
      {"/moved-to-nowhere", response("302 Found", "Location: /gone\r\n")},
      {"/final", response("200 OK", "", "the package")},
      {"/gone", response("410 Gone")},
  });
  TempDir dir;
  const fs::path dest = dir / "download.pkg";
  _stream_download(server.url("/moved"), dest, SHORT);
  EXPECT_EQ(read_file(dest), "the package");
  expect_error<NetworkError>([&] { _stream_download(server.url("/moved-to-nowhere"), dest, SHORT); },
                             HTTP_STATUS + "410");
}

// Through the whole package download: none of these answers leaves a store behind or counts as success,
// and the temporary archive is always deleted. A 2xx without a body (204, or 200 with nothing) downloads an
// empty archive, which is refused as damaged.
TEST(DownloadStatusTest, NoStatusOtherThanA2xxWithAPackageGivesAStore) {
  auto cases = failing_transfers();
  cases.push_back({"204", response("204 No Content"), DAMAGED});
  cases.push_back({"200 with an empty body", response("200 OK"), DAMAGED});
  cases.push_back({"205", response("205 Reset Content"), DAMAGED});
  std::map<std::string, std::string> answers;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    answers["/case" + std::to_string(i)] = cases[i].answer;
  }
  RawResponder packages(answers);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].label);
    const std::string meta =
        R"({"download_url": ")" + packages.url("/case" + std::to_string(i)) + R"(", "content_type": "application/zip"})";
    RawResponder service(std::map<std::string, std::string>{
        {BENCHMARK_DATA_PATH, response("200 OK", "Content-Type: application/json\r\n", meta)}});
    TempDir dir;
    const fs::path store = dir / "root" / "store";
    const HttpClient http(service.url(""));
    if (cases[i].message == DAMAGED) {
      expect_error<VelmoraError>([&] { download_benchmark_package(http, store); }, DAMAGED);
    } else {
      expect_error<NetworkError>([&] { download_benchmark_package(http, store); }, cases[i].message);
    }
    EXPECT_TRUE(fs::is_empty(store)) << "nothing may be extracted";
    EXPECT_TRUE(fs::is_empty(dir / "root" / "temp")) << "the temporary archive must be deleted";
  }
}

}  // namespace
}  // namespace velmora::backtest
