#pragma once

// Terminal feedback for long jobs: a status line on stderr that rewrites itself, shown only when stderr is a
// terminal and the user did not ask for quiet.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "velmora/factor_service.h"

namespace velmora::tool {

class StatusLine {
 public:
  explicit StatusLine(bool quiet);
  ~StatusLine();
  bool enabled() const { return enabled_; }
  // Replaces the line with `text` followed by the time since construction.
  void show(const std::string& text);
  // Ends the line so that later output starts on a fresh one.
  void finish();
  double elapsed_seconds() const;

 private:
  bool enabled_;
  bool open_ = false;
  std::chrono::steady_clock::time_point start_;
};

// Forwards every query to `inner` and reports it on `status` before it runs: which read, n of m.
class ObservedFactorService : public FactorService {
 public:
  ObservedFactorService(std::shared_ptr<FactorService> inner, StatusLine& status, std::optional<int> expected_reads);

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start_date,
                                        const std::optional<std::string>& end_date) override;
  std::optional<QueryTable> get_index_daily(const std::vector<std::string>& order_book_ids,
                                            const std::optional<std::string>& start_date,
                                            const std::optional<std::string>& end_date) override;

 private:
  void announce(const std::string& what);

  std::shared_ptr<FactorService> inner_;
  StatusLine& status_;
  std::optional<int> expected_reads_;
  int reads_ = 0;
};

// A progress bar for a transfer of `received` of `total` bytes (total unknown: bytes only).
std::string transfer_bar(std::uint64_t received, std::optional<std::uint64_t> total);

}  // namespace velmora::tool
