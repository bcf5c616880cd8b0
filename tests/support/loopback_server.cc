#include "support/loopback_server.h"

#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora::testing {

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
  }
  shutting_down_cv_.notify_all();
  if (thread_.joinable()) {
    server_.stop();
    thread_.join();
  }
}

void LoopbackServer::start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("loopback server: cannot bind");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string LoopbackServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::wait_for_shutdown(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  shutting_down_cv_.wait_for(lock, limit, [this] { return shutting_down_; });
}

int refused_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace velmora::testing
