#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace velmora::tool {

StatusLine::StatusLine(bool quiet)
    : enabled_(!quiet && isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()) {}

StatusLine::~StatusLine() { finish(); }

double StatusLine::elapsed_seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void StatusLine::show(const std::string& text) {
  if (!enabled_) return;
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, " [%.1fs]", elapsed_seconds());
  std::cerr << "\r\033[K" << text << elapsed << std::flush;
  open_ = true;
}

void StatusLine::finish() {
  if (open_) std::cerr << "\r\033[K" << std::flush;
  open_ = false;
}

ObservedFactorService::ObservedFactorService(std::shared_ptr<FactorService> inner, StatusLine& status,
                                             std::optional<int> expected_reads)
    : inner_(std::move(inner)), status_(status), expected_reads_(expected_reads) {}

void ObservedFactorService::announce(const std::string& what) {
  ++reads_;
  std::string count = std::to_string(reads_);
  if (expected_reads_ && reads_ <= *expected_reads_) count += " of " + std::to_string(*expected_reads_);
  status_.show("reading " + what + " (" + count + ")");
}

std::optional<QueryTable> ObservedFactorService::get_factors(const FactorSelection& factor,
                                                             const std::optional<std::string>& start_date,
                                                             const std::optional<std::string>& end_date) {
  if (const auto* name = std::get_if<std::string>(&factor)) announce(*name);
  else announce(std::to_string(std::get<std::vector<std::string>>(factor).size()) + " factors in one batch");
  return inner_->get_factors(factor, start_date, end_date);
}

std::optional<QueryTable> ObservedFactorService::get_index_daily(const std::vector<std::string>& order_book_ids,
                                                                 const std::optional<std::string>& start_date,
                                                                 const std::optional<std::string>& end_date) {
  announce("benchmark quotes");
  return inner_->get_index_daily(order_book_ids, start_date, end_date);
}

std::string transfer_bar(std::uint64_t received, std::optional<std::uint64_t> total) {
  char text[96];
  double mib = static_cast<double>(received) / (1024.0 * 1024.0);
  if (!total || *total == 0) {
    std::snprintf(text, sizeof text, "downloading %.1f MiB", mib);
    return text;
  }
  constexpr int WIDTH = 30;
  double share = std::min(1.0, static_cast<double>(received) / static_cast<double>(*total));
  int filled = static_cast<int>(share * WIDTH);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(WIDTH, '.');
  std::snprintf(text, sizeof text, "downloading [%s] %5.1f%% of %.1f MiB", bar.c_str(), share * 100.0,
                static_cast<double>(*total) / (1024.0 * 1024.0));
  return text;
}

}  // namespace velmora::tool
