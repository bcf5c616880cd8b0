#include "checks.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "failure.h"
#include "messages.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/errors.h"

namespace velmora::tool {

namespace {

// The path itself when it exists, else its nearest existing ancestor ("." for a relative path whose first
// part is missing).
std::filesystem::path nearest_existing(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path current = path;
  while (!std::filesystem::exists(std::filesystem::symlink_status(current, error))) {
    std::filesystem::path parent = current.parent_path();
    if (parent.empty() || parent == current) return current.is_absolute() ? current.root_path() : ".";
    current = parent;
  }
  return current;
}

void require_writable(const std::string& option, const std::filesystem::path& shown,
                      const std::filesystem::path& directory) {
  if (::access(directory.c_str(), W_OK | X_OK) != 0)
    throw UsageError(messages::not_writable(option, shown.string(),
                                            directory.string() + ": " + std::strerror(errno)));
}

}  // namespace

std::string checked_date(const std::string& option, const std::string& text) {
  try {
    return *backtest::normalize_yyyymmdd(text);
  } catch (const ValueError&) {
    // The library's reason is for programs; a person needs the forms that work.
    throw UsageError(messages::invalid_date(option, text));
  }
}

DateRange checked_range(const std::string& start, const std::string& end) {
  DateRange range;
  if (!start.empty()) range.start = checked_date("--start", start);
  if (!end.empty()) range.end = checked_date("--end", end);
  if (range.start && range.end && *range.start > *range.end)
    throw UsageError(messages::start_after_end(*range.start, *range.end));
  return range;
}

std::int64_t checked_size(const std::string& option, std::int64_t value, std::int64_t low, std::int64_t high) {
  if (value < low || value > high) throw UsageError(messages::out_of_range(option, value, low, high));
  return value;
}

void check_writable_directory(const std::string& option, const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::path existing = nearest_existing(path);
  const bool is_directory = std::filesystem::is_directory(existing, error);
  if (existing == path) {
    if (!is_directory) throw UsageError(messages::not_a_directory(option, path.string()));
  } else if (!is_directory) {
    throw UsageError(messages::ancestor_not_a_directory(option, path.string(), existing.string()));
  }
  require_writable(option, path, existing);
}

void check_existing_directory(const std::string& option, const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error))
    throw UsageError(messages::no_such_directory(option, path.string()));
}

void check_writable_file(const std::string& option, const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) throw UsageError(messages::is_a_directory(option, path.string()));
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  if (!std::filesystem::is_directory(parent, error))
    throw UsageError(messages::no_such_directory(option, parent.string()));
  require_writable(option, path, parent);
}

std::shared_ptr<SqliteFactorService> open_factor_database(const std::filesystem::path& path) {
  try {
    auto service = std::make_shared<SqliteFactorService>(path);
    // Empty selections read no rows; the service only checks that its tables are there.
    service->get_factors(std::vector<std::string>{}, std::nullopt, std::nullopt);
    service->get_index_daily({}, std::nullopt, std::nullopt);
    return service;
  } catch (const VelmoraError& error) {
    throw UsageError(error.what());
  }
}

}  // namespace velmora::tool
