#pragma once

// A small market for update tests, served by the in-memory factor service, and the comparison of two
// stores file by file.
//
// The market runs over the weekdays of January and February 2024 with instruments that are listed and
// delisted inside that range, one listed late ("300999"), one that is suspended until it first trades
// ("688001": suspension flags before any price), one with a sell price but no buy price until it trades
// fully ("002222"), prices that sit at their limits, sparse dividends and splits (one dividend dated on a
// Saturday, after the close of its week), two identifiers that share an instrument key, and, from
// `messy_from` on, duplicate rows, numbers written as text and missing values.

#include <filesystem>
#include <string>
#include <vector>

#include "velmora/column.h"
#include "velmora/query_table.h"

namespace velmora::testing {

// A membership factor of the market that is not among the built-in component names.
inline constexpr const char* SUPPLEMENTED_COMPONENT = "rq_index_components_new_000016.XSHG";

struct MarketOptions {
  std::string messy_from = "20240201";  // duplicates, text numbers and missing values from this date on
  double close_shift = 0.0;             // added to every close from `shift_from` on (a corrected history)
  std::string shift_from = "99999999";
  double index_shift = 0.0;             // added to every index quote from `shift_from` on
  bool members_flipped = false;         // the first component's members and non-members swapped from `shift_from` on
  bool close_only_benchmarks = true;    // benchmark quotes as closes (returns computed) or as daily returns
  bool with_short_lived = true;         // "601111", traded on 20240130 and 20240131 only (a correction drops it)
};

// Long factor rows: order_book_id, date, factor, value.
QueryTable market_factor_rows(const MarketOptions& options = {});
// Index quotes of the three benchmarks.
QueryTable market_index_rows(const MarketOptions& options = {});

// Every difference between the stores in two directories, one text each: metadata entries (dataset and
// basis entries compared by dtype, shape, labels, size and CRC-32 of their files; benchmark entries by dates
// and CRC-32), and "meta" apart from the time of writing. Empty when they hold the same data.
std::vector<std::string> store_differences(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace velmora::testing
