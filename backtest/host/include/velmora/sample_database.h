#pragma once

// Writes a synthetic factor database in the schema the SQLite factor service reads: realistic enough to run
// a whole build on (A-share-like identifiers, listings and delistings, random-walk prices with limit prices
// at ±10 % of the previous close, volume-weighted prices that sometimes sit at a limit, suspensions, sparse
// dividends and splits, industry codes, index membership, benchmark quotes), and deterministic per seed.
//
// Schema:
//   CREATE TABLE factor_values (factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value);
//   CREATE INDEX factor_values_factor_date ON factor_values(factor, date);
//   CREATE TABLE index_daily (order_book_id TEXT, date TEXT, close, daily_return);
// Dates are "YYYY-MM-DD" texts. Trading days are the weekdays from the start date on.
//
// The rows of factor_values are stored in one of two orders, with the same rows and the same order of rows
// within each factor either way: day by day, every factor of a day interleaved (as a database filled by a
// daily job has them), or factor by factor (as a bulk load of one factor after another has them). The
// order decides how scattered a factor's rows are in the file, which is what reading costs.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "velmora/host_export.h"

namespace velmora {

enum class RowLayout { by_date, by_factor };

struct SampleOptions {
  std::size_t instruments = 300;
  std::size_t days = 250;
  std::string start = "20230102";  // "YYYYMMDD"; the first trading day is the first weekday from here
  std::uint64_t seed = 7;
  RowLayout layout = RowLayout::by_date;
  // Called after each trading day's rows are written, with the days written and their total. The table's
  // index is built after the last call, which takes a while of its own.
  std::function<void(std::size_t done, std::size_t total)> progress;
};

struct SampleSummary {
  std::size_t instruments = 0;
  std::size_t days = 0;
  std::string first_date;  // "YYYYMMDD"
  std::string last_date;
  std::size_t factor_rows = 0;
  std::size_t index_rows = 0;
};

// Creates the database at `path`, replacing a file that is there (written beside it first and renamed over
// it, so a failure leaves the old file and no partial one). Throws ValueError for a bad start date or zero
// instruments/days, and InterruptedError between two days once an interruption is requested
// (velmora/interruption.h).
VELMORA_HOST_EXPORT SampleSummary write_sample_database(const std::filesystem::path& path,
                                                        const SampleOptions& options);

}  // namespace velmora
