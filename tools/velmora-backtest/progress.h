#pragma once

// Terminal feedback for long jobs: a status line on stderr that rewrites itself, shown only when stderr is a
// terminal and the user did not ask for quiet. A ticker thread redraws it a few times a second, so the
// timer keeps moving through a long step that reports nothing (one big query, an unpacking). Every redraw
// is cut to the terminal's width, so a narrow pane never wraps it into debris.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "velmora/factor_service.h"
#include "velmora/store_writing.h"

namespace velmora::tool {

class StatusLine {
 public:
  explicit StatusLine(bool quiet);
  ~StatusLine();
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  bool enabled() const { return enabled_; }
  // Replaces the line with `text` followed by the time since construction.
  void show(const std::string& text);
  // Clears the line so that later output starts on a fresh one; a later show() draws it again.
  void finish();
  double elapsed_seconds() const;

 private:
  void draw_locked();
  void tick();

  const bool enabled_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string text_;
  bool open_ = false;
  bool stopping_ = false;
  std::thread ticker_;
};

// `text` cut to at most `width` terminal columns (whole UTF-8 characters, each counted as one column but
// the CJK ones as two), with "…" marking the cut.
std::string fit_to_width(const std::string& text, std::size_t width);

// Forwards every query and read-ahead to `inner` (a service's own way of reading must survive being
// observed) and reports it on `status` before it runs: which read, n of m.
class ObservedFactorService : public FactorService {
 public:
  ObservedFactorService(std::shared_ptr<FactorService> inner, StatusLine& status, std::optional<int> expected_reads);

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start_date,
                                        const std::optional<std::string>& end_date) override;
  void get_factors_by_factor(const std::vector<std::string>& names, const std::optional<std::string>& start_date,
                             const std::optional<std::string>& end_date,
                             const std::function<void(QueryTable piece)>& consume) override;
  void read_ahead(const std::vector<std::string>& names, const std::optional<std::string>& start_date,
                  const std::optional<std::string>& end_date) override;
  void forget_read_ahead() override;
  std::optional<QueryTable> get_index_daily(const std::vector<std::string>& order_book_ids,
                                            const std::optional<std::string>& start_date,
                                            const std::optional<std::string>& end_date) override;

 private:
  void announce(const std::string& what);

  std::shared_ptr<FactorService> inner_;
  StatusLine& status_;
  std::optional<int> expected_reads_;
  int reads_ = 0;
  std::optional<std::chrono::steady_clock::time_point> first_read_;  // the estimate counts from here
};

// How a writing command takes the store's writer lock: without `wait` a store that another process holds
// fails at once with the lock's own message, which names the holder's pid; with `wait` the status line
// shows whom the command waits for while it blocks.
StoreLockOptions writer_lock_options(bool wait, StatusLine& status);

// A progress bar for a transfer of `received` of `total` bytes (total unknown: bytes only). The share
// comes first, so that a narrow terminal, which cuts the line's end, still shows it.
std::string transfer_bar(std::uint64_t received, std::optional<std::uint64_t> total);

// "<share>%, about <time> left" for `done` of `total` steps after `seconds`, the estimate assuming the
// remaining steps go as fast as those done; the share alone before any step is done.
std::string share_and_estimate(std::uint64_t done, std::uint64_t total, double seconds);

}  // namespace velmora::tool
