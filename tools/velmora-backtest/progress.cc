#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace velmora::tool {

namespace {

constexpr auto TICK = std::chrono::milliseconds(250);
constexpr std::size_t FALLBACK_WIDTH = 80;

std::size_t terminal_width() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return FALLBACK_WIDTH;
}

// Columns one UTF-8 character starting with `lead` (of `length` bytes) takes: two for the wide East Asian
// ranges (the messages of the libraries are partly Chinese), one for the rest.
std::size_t columns_of(const std::string& text, std::size_t at, std::size_t length) {
  if (length < 3) return 1;
  unsigned code = static_cast<unsigned char>(text[at]) & (length == 3 ? 0x0Fu : 0x07u);
  for (std::size_t i = 1; i < length; ++i) code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
  const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                    (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                    (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                    (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
  return wide ? 2 : 1;
}

std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;  // a stray continuation byte counts as one column
}

}  // namespace

std::string fit_to_width(const std::string& text, std::size_t width) {
  static const std::string ELLIPSIS = "\u2026";
  std::size_t used = 0, at = 0, cut = std::string::npos;
  while (at < text.size()) {
    const std::size_t length = std::min(sequence_length(static_cast<unsigned char>(text[at])), text.size() - at);
    const std::size_t columns = columns_of(text, at, length);
    if (used + columns + 1 > width && cut == std::string::npos) cut = at;  // room for the ellipsis
    if (used + columns > width) return width == 0 ? std::string() : text.substr(0, cut) + ELLIPSIS;
    used += columns;
    at += length;
  }
  return text;
}

StatusLine::StatusLine(bool quiet)
    : enabled_(!quiet && isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()) {
  if (enabled_) ticker_ = std::thread([this] { tick(); });
}

StatusLine::~StatusLine() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  finish();
}

double StatusLine::elapsed_seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void StatusLine::show(const std::string& text) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  text_ = text;
  open_ = true;
  draw_locked();
}

void StatusLine::finish() {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  if (open_) std::cerr << "\r\033[K" << std::flush;
  open_ = false;
}

void StatusLine::draw_locked() {
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, " [%.1fs]", elapsed_seconds());
  // The last column stays free: a line that fills it makes some terminals wrap at once.
  const std::size_t width = terminal_width() - 1;
  const std::string timer = elapsed;
  const std::string line = timer.size() < width ? fit_to_width(text_, width - timer.size()) + timer
                                                : fit_to_width(text_, width);
  std::cerr << "\r\033[K" << line << std::flush;
}

void StatusLine::tick() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, TICK, [this] { return stopping_; }))
    if (open_) draw_locked();
}

ObservedFactorService::ObservedFactorService(std::shared_ptr<FactorService> inner, StatusLine& status,
                                             std::optional<int> expected_reads)
    : inner_(std::move(inner)), status_(status), expected_reads_(expected_reads) {}

void ObservedFactorService::announce(const std::string& what) {
  const auto now = std::chrono::steady_clock::now();
  if (!first_read_) first_read_ = now;
  std::string count = std::to_string(++reads_);
  if (expected_reads_ && reads_ <= *expected_reads_) {
    // The reads done are those before this one; a waiting writer's lock is not counted.
    count += " of " + std::to_string(*expected_reads_) + ", " +
             share_and_estimate(static_cast<std::uint64_t>(reads_ - 1), static_cast<std::uint64_t>(*expected_reads_),
                                std::chrono::duration<double>(now - *first_read_).count());
  }
  status_.show("reading " + what + " (" + count + ")");
}

std::optional<QueryTable> ObservedFactorService::get_factors(const FactorSelection& factor,
                                                             const std::optional<std::string>& start_date,
                                                             const std::optional<std::string>& end_date) {
  if (const auto* name = std::get_if<std::string>(&factor)) announce(*name);
  else announce(std::to_string(std::get<std::vector<std::string>>(factor).size()) + " factors in one batch");
  return inner_->get_factors(factor, start_date, end_date);
}

void ObservedFactorService::get_factors_by_factor(const std::vector<std::string>& names,
                                                  const std::optional<std::string>& start_date,
                                                  const std::optional<std::string>& end_date,
                                                  const std::function<void(QueryTable piece)>& consume) {
  announce(std::to_string(names.size()) + " factors in one batch");
  inner_->get_factors_by_factor(names, start_date, end_date, consume);
}

void ObservedFactorService::read_ahead(const std::vector<std::string>& names,
                                       const std::optional<std::string>& start_date,
                                       const std::optional<std::string>& end_date) {
  status_.show("reading " + std::to_string(names.size()) + " factors ahead");
  inner_->read_ahead(names, start_date, end_date);
}

void ObservedFactorService::forget_read_ahead() { inner_->forget_read_ahead(); }

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
  std::snprintf(text, sizeof text, "downloading %.1f%% of %.1f MiB [%s]", share * 100.0,
                static_cast<double>(*total) / (1024.0 * 1024.0), bar.c_str());
  return text;
}

std::string share_and_estimate(std::uint64_t done, std::uint64_t total, double seconds) {
  char text[64];
  const double share = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
  if (done == 0 || done >= total) {
    std::snprintf(text, sizeof text, "%.0f%%", share * 100.0);
    return text;
  }
  const auto left = static_cast<long long>(seconds / static_cast<double>(done) * static_cast<double>(total - done) + 0.5);
  if (left < 60) {
    std::snprintf(text, sizeof text, "%.0f%%, about %llds left", share * 100.0, left);
  } else {
    std::snprintf(text, sizeof text, "%.0f%%, about %lldm %02llds left", share * 100.0, left / 60, left % 60);
  }
  return text;
}

StoreLockOptions writer_lock_options(bool wait, StatusLine& status) {
  StoreLockOptions options;
  options.wait = wait ? LockWait::yes : LockWait::no;
  options.waiting = [&status](pid_t holder) {
    status.show("waiting for the writer with pid " + std::to_string(holder) + " to finish with the store");
  };
  return options;
}

}  // namespace velmora::tool
