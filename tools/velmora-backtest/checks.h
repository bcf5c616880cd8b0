#pragma once

// Checks of option values that the tool makes before any work, so that a mistake in the command line is
// reported at once (as a UsageError naming the option) rather than after a long read, or never.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "velmora/sqlite_factor_service.h"

namespace velmora::tool {

// The canonical "YYYYMMDD" form of `text`, given in any form a build accepts ("YYYYMMDD", "YYYY-MM-DD",
// "YYYY/MM/DD"); a text that is not a calendar date is a usage error naming `option`.
std::string checked_date(const std::string& option, const std::string& text);

// The canonical forms of --start and --end when given; a start after the end is a usage error.
struct DateRange {
  std::optional<std::string> start;
  std::optional<std::string> end;
};
DateRange checked_range(const std::string& start, const std::string& end);

// `value` when low <= value <= high; a usage error naming `option` otherwise.
std::int64_t checked_size(const std::string& option, std::int64_t value, std::int64_t low, std::int64_t high);

// A directory the command may create or change: either a writable directory, or absent with its nearest
// existing ancestor a writable directory.
void check_writable_directory(const std::string& option, const std::filesystem::path& path);

// An existing directory.
void check_existing_directory(const std::string& option, const std::filesystem::path& path);

// A file the command may write (or replace): not a directory, in an existing writable directory.
void check_writable_file(const std::string& option, const std::filesystem::path& path);

// The factor database at `path`, opened read-only after checking that it is a SQLite database with the
// factor and index tables; anything else is a usage error carrying the service's message.
std::shared_ptr<SqliteFactorService> open_factor_database(const std::filesystem::path& path);

}  // namespace velmora::tool
