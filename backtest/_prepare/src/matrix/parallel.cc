#include "velmora/backtest/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::backtest {

namespace {
std::atomic<std::size_t> configured_threads{0};
}

std::size_t thread_count() {
  std::size_t configured = configured_threads.load(std::memory_order_relaxed);
  if (configured) return configured;
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

void set_thread_count(std::size_t threads) { configured_threads.store(threads, std::memory_order_relaxed); }

void parallel_for(std::size_t n, std::size_t min_per_thread,
                  const std::function<void(std::size_t, std::size_t)>& body) {
  std::size_t threads = std::min(thread_count(), n / std::max<std::size_t>(1, min_per_thread));
  if (threads <= 1) {
    if (n) body(0, n);
    return;
  }
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto run = [&](std::size_t begin, std::size_t end) {
    try {
      body(begin, end);
    } catch (...) {
      std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(threads - 1);
  std::size_t chunk = (n + threads - 1) / threads;
  for (std::size_t t = 1; t < threads; ++t) {
    std::size_t begin = std::min(n, t * chunk), end = std::min(n, begin + chunk);
    if (begin < end) workers.emplace_back(run, begin, end);
  }
  run(0, std::min(n, chunk));
  for (auto& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velmora::backtest
