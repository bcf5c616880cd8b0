// Throughput of the package download: the streaming transfer over loopback (one 64 MiB body written in
// 1 MiB pieces) and the guarded extraction of a deflated archive.

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zip.h>

#include "download/stream_download.h"
#include "extract/extract_zip.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t BODY_SIZE = 64u << 20;

fs::path scratch_dir() {
  std::string pattern = (fs::temp_directory_path() / "velmora-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  return pattern;
}

// Compressible, not trivially so: numbers as text, like a column dump.
std::string sample_bytes(std::size_t size) {
  std::string bytes;
  bytes.reserve(size);
  for (std::uint64_t i = 0; bytes.size() < size; ++i) bytes += std::to_string(i * 2654435761u % 1000003) + ',';
  bytes.resize(size);
  return bytes;
}

// Serves the same body to every connection: HTTP/1.0, Content-Length, then close.
class BodyServer {
 public:
  explicit BodyServer(std::string body) : body_(std::move(body)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~BodyServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/package.zip"; }

 private:
  void serve() {
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/zip\r\nContent-Length: " +
                             std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n";
    while (!stopping_) {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      send_all(client, head);
      send_all(client, body_);
      ::close(client);
    }
  }
  static void send_all(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  std::string body_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

void BM_StreamDownload(benchmark::State& state) {
  const BodyServer server(sample_bytes(BODY_SIZE));
  const fs::path dir = scratch_dir();
  for (auto _ : state) _stream_download(server.url(), dir / "download.pkg");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * BODY_SIZE));
  fs::remove_all(dir);
}
BENCHMARK(BM_StreamDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExtractZip(benchmark::State& state) {
  const fs::path dir = scratch_dir();
  const fs::path archive_path = dir / "package.pkg";
  const int members = 16;
  const std::string data = sample_bytes(BODY_SIZE / members);
  int error = 0;
  zip_t* archive = zip_open(archive_path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  for (int i = 0; i < members; ++i) {
    zip_source_t* source = zip_source_buffer(archive, data.data(), data.size(), 0);
    const std::string name = "data/member_" + std::to_string(i) + ".bin";
    if (!source || zip_file_add(archive, name.c_str(), source, 0) < 0) std::abort();
  }
  if (zip_close(archive) != 0) std::abort();

  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(dir / "store");
    fs::create_directories(dir / "store");
    state.ResumeTiming();
    _extract_zip(archive_path, dir / "store");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * BODY_SIZE));
  state.counters["archive_MiB"] = static_cast<double>(fs::file_size(archive_path)) / (1 << 20);
  fs::remove_all(dir);
}
BENCHMARK(BM_ExtractZip)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmora::backtest
