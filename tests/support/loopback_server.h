#pragma once

// A real HTTP server on 127.0.0.1, serving from a background thread for the life of the object. Register
// routes on http() first, then start(); url() gives the address of a path. Handlers that must stall can
// wait_for_shutdown(), which returns when the server is being destroyed.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

namespace velmora::testing {

class LoopbackServer {
 public:
  LoopbackServer() = default;
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& http() { return server_; }
  // Binds a free port and serves until destruction. REQUIRES: routes registered, not started yet.
  void start();
  // "http://127.0.0.1:<port>" + path.
  std::string url(const std::string& path) const;

  // Blocks a handler until the server shuts down, or at most `limit`.
  void wait_for_shutdown(std::chrono::milliseconds limit);

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable shutting_down_cv_;
  bool shutting_down_ = false;
};

// A port on 127.0.0.1 that nothing listens on: connecting to it is refused.
int refused_port();

}  // namespace velmora::testing
