#include "download/stream_download.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "support/expect_error.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"
#include "velmora/errors.h"

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
// Short limits so that the time-out cases end in about a second.
constexpr DownloadTimeout SHORT{std::chrono::milliseconds(1000), std::chrono::seconds(1)};

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4096) % 256);
  return bytes;
}

// A listening port whose accept queue is full: a further connection attempt is never answered.
class UnansweredPort {
 public:
  UnansweredPort() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
    for (int& filler : fillers_) {
      filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      (void)::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~UnansweredPort() {
    for (int filler : fillers_) ::close(filler);
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int fillers_[3] = {-1, -1, -1};
  int port_ = 0;
};

struct Piece {
  std::uint64_t received;
  std::optional<std::uint64_t> total;
  std::uintmax_t file_size;  // size of the destination when the piece was reported
};

class StreamDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& http = server.http();
    http.Get("/body", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(pattern(2500000), "application/octet-stream");
    });
    http.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("", "application/octet-stream");
    });
    http.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<html>not here</html>", "text/html");
    });
    http.Get("/moved", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/small", 302); });
    http.Get("/small", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("second address", "application/octet-stream");
    });
    http.Get("/moved-to-missing", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/missing", 302);
    });
    http.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop", 302); });
    http.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file:///etc/hostname", 302);
    });
    http.Get("/gzip", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Encoding", "gzip");
      res.set_content(gzipped, "application/octet-stream");
    });
    http.Get("/drop", [](const httplib::Request&, httplib::Response& res) {
      // Announces 2,500,000 bytes, sends 1,500,000 and closes the connection.
      res.set_content_provider(2500000, "application/octet-stream",
                               [body = pattern(1500000)](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset >= body.size()) return false;
                                 const size_t n = std::min<size_t>(65536, body.size() - offset);
                                 return sink.write(body.data() + offset, n);
                               });
    });
    http.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      server.wait_for_shutdown(std::chrono::seconds(10));
      res.set_content("too late", "text/plain");
    });
    server.start();
  }

  // Downloads `path` of the loopback server into `dest`, recording every piece reported.
  void download(const std::string& path) {
    _stream_download(server.url(path), dest, SHORT, [&](std::uint64_t received, std::optional<std::uint64_t> total) {
      pieces.push_back({received, total, fs::file_size(dest)});
    });
  }

  // The transport error chained under a network error: its libcurl code.
  static int curl_cause(const std::exception_ptr& error) {
    int code = -1;
    expect_kind<std::system_error>(nested_cause(error), [&](const std::system_error& cause) {
      EXPECT_STREQ(cause.code().category().name(), "libcurl");
      code = cause.code().value();
    });
    expect_kind<NetworkError>(error, [&](const NetworkError& network) {
      EXPECT_EQ(network.cause(), nested_cause(error)) << "cause() and the nested chain differ";
    });
    return code;
  }

  TempDir dir;
  fs::path dest = dir / "download.pkg";
  std::vector<Piece> pieces;
  std::string gzipped;
  testing::LoopbackServer server;
};

TEST_F(StreamDownloadTest, WritesTheBodyInWholePiecesAsItArrives) {
  download("/body");
  EXPECT_EQ(read_file(dest), pattern(2500000));
  ASSERT_EQ(pieces.size(), 3u);
  const std::uint64_t expected[] = {1048576, 2097152, 2500000};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(pieces[i].received, expected[i]);
    EXPECT_EQ(pieces[i].file_size, expected[i]) << "piece " << i << " not on disk when reported";
    EXPECT_EQ(pieces[i].total, std::optional<std::uint64_t>(2500000));
  }
}

TEST_F(StreamDownloadTest, EmptyBodyTruncatesToAnEmptyFile) {
  write_file(dest, "earlier contents");
  download("/empty");
  EXPECT_EQ(read_file(dest), "");
  EXPECT_TRUE(pieces.empty());
}

TEST_F(StreamDownloadTest, FollowsRedirectsToTheFinalBody) {
  download("/moved");
  EXPECT_EQ(read_file(dest), "second address");
}

TEST_F(StreamDownloadTest, RemovesContentCodingAndHidesTheEncodedLength) {
  std::string output;
  ASSERT_EQ(testing::run_python("import gzip, sys\n"
                                "data = bytes((i * 131 + i // 4096) % 256 for i in range(1300000))\n"
                                "open(sys.argv[1], 'wb').write(gzip.compress(data))\n",
                                {(dir / "body.gz").string()}, output),
            0);
  // The handler serves `gzipped`; set it before the request (the server thread reads it afterwards).
  gzipped = read_file(dir / "body.gz");
  download("/gzip");
  EXPECT_EQ(read_file(dest), pattern(1300000));
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[1].received, 1300000u);
  EXPECT_EQ(pieces[1].total, std::nullopt);
}

TEST_F(StreamDownloadTest, StatusFailureNeverTouchesTheDestination) {
  struct Case {
    std::string path;
  } cases[] = {{"/missing"}, {"/moved-to-missing"}, {"/no-such-route"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    write_file(dest, "keep me");
    const auto error = expect_error<NetworkError>([&] { download(c.path); }, HTTP_STATUS + "404");
    expect_kind<HttpError>(nested_cause(error), [](const HttpError& cause) { EXPECT_EQ(cause.status(), 404); });
    EXPECT_EQ(read_file(dest), "keep me");
  }
}

TEST_F(StreamDownloadTest, TransferFailuresAreNetworkErrors) {
  const UnansweredPort unanswered;
  struct Case {
    std::string label;
    std::string url;
    int curl_code;
  } cases[] = {
      {"connection never answered", "http://127.0.0.1:" + std::to_string(unanswered.port()) + "/x",
       CURLE_OPERATION_TIMEDOUT},
      {"refused", "http://127.0.0.1:" + std::to_string(testing::refused_port()) + "/x", CURLE_COULDNT_CONNECT},
      {"stalled server", server.url("/stall"), CURLE_OPERATION_TIMEDOUT},
      {"too many redirects", server.url("/loop"), CURLE_TOO_MANY_REDIRECTS},
      {"redirect to a file address", server.url("/to-file"), CURLE_UNSUPPORTED_PROTOCOL},
      {"unsupported scheme", "ftp://127.0.0.1/x", CURLE_UNSUPPORTED_PROTOCOL},
      {"malformed address", "http://[127.0.0.1/x", CURLE_URL_MALFORMAT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(dest, "");
    const auto error = expect_error<NetworkError>([&] { _stream_download(c.url, dest, SHORT); }, NETWORK);
    EXPECT_EQ(curl_cause(error), c.curl_code);
    EXPECT_EQ(read_file(dest), "");
  }
}

TEST_F(StreamDownloadTest, DroppedConnectionLeavesTheWholePiecesWritten) {
  const auto error = expect_error<NetworkError>([&] { download("/drop"); }, NETWORK);
  EXPECT_EQ(curl_cause(error), CURLE_PARTIAL_FILE);
  EXPECT_EQ(read_file(dest), pattern(1048576));
}

TEST_F(StreamDownloadTest, LocalFileFailuresPassThroughUnchanged) {
  const fs::path gone = dir / "gone" / "download.pkg";
  try {
    _stream_download(server.url("/small"), gone, SHORT);
    ADD_FAILURE() << "nothing raised";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(error.path1(), gone);
  }
}

TEST_F(StreamDownloadTest, ProgressObserverErrorsPassThrough) {
  EXPECT_THROW(_stream_download(server.url("/body"), dest, SHORT,
                                [](std::uint64_t, std::optional<std::uint64_t>) { throw std::length_error("stop"); }),
               std::length_error);
  EXPECT_EQ(fs::file_size(dest), 1048576u);
}

}  // namespace
}  // namespace velmora::backtest
