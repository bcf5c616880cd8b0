#pragma once

// Bringing an existing store up to a new end date at the cost of the new dates.
//
//   BinaryPreparedDataStore store("/data/store");
//   StoreUpdate update = update_store(store, {.end_date = "20240315"});
//
// The update reads from the factor service only the dates from the re-read start on (by default the day
// after the store's end date; `from_date` moves it back to take in corrected history) and, for the
// benchmarks, from the last stored quote before it, whose close a return may be computed against. Every
// earlier row comes from the store: the datasets hold the close, open, buy, sell and industry matrices
// and the membership masks as read, and the store's "update_basis" holds the source matrices that no
// dataset keeps as read (limit prices, split coefficients, dividends, suspensions).
//
// Its cost follows the new dates, not the store's length. It derives again only the rows that can change
// (the new ones, the last stored close date, which bounds the dividends, and the two stored dates before
// the new opens, which the forward-return rank looks ahead to) and, in the stored rows, only the columns of
// instruments that a source gained. Each dataset is then written as one sequential pass: its stored rows,
// copied by the kernel when its columns stay (their checksum taken from the store's records), followed by
// the new rows. When something else changes a stored row (a correction that drops an instrument, or an
// optional factor that gains or loses its data altogether), the update derives the whole range instead.
//
// The components supplemented into the store are read for the new dates like the built-in ones.
//
// Contract: when the factor service holds the same rows before the re-read start as when the store was
// written, the updated store equals, dataset for dataset and cell for cell, what build_incremental over
// [the store's start date, end date] writes into a fresh store after keeping the supplemented components
// (keep_store_components), meta in that build's form ("updated_at").
//
// A store without an update basis (written by an older version of this library, or downloaded) is rebuilt
// over its whole range, and the result says so. An update that changes no row (no new data, nothing
// corrected) writes nothing. Writing follows the store's own safety rules: new files, then the metadata by
// atomic rename, so a killed update leaves the old or the new store; the writer lock keeps other writers out
// from the first read of the metadata to the last write.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "velmora/backtest/prepare_export.h"
#include "velmora/backtest/store.h"
#include "velmora/store_writing.h"

namespace velmora::backtest {

struct StoreUpdateOptions {
  // The new end date, in any form normalize_yyyymmdd accepts.
  std::string end_date;
  // Re-read the factor service from this date on (corrections of history); nothing: from the day after
  // the store's end date. A date at or before the store's start date re-reads the whole range.
  std::optional<std::string> from_date;
  // Called with a short text before each stage ("reading the factor service from 20240311", ...).
  std::function<void(const std::string&)> progress;
  // Whether to wait for another writer of the store (velmora/store_writing.h).
  StoreLockOptions lock;
};

// Seconds spent in each stage of an update.
struct StoreUpdateTimings {
  double read_store = 0;    // the stored rows, mapped from the store's files
  double read_source = 0;   // the factor service reads of the re-read range and the benchmarks
  double derive = 0;        // splitting stored and re-read rows, deriving what changes
  double write = 0;         // writing the new files (copies of the stored rows and the new ones), the metadata
                            // and the manifest
};

struct StoreUpdate {
  enum class Outcome {
    unchanged,  // no row changed: nothing was written
    extended,   // stored rows joined with the re-read ones and written
    rebuilt,    // the whole range was read again (no update basis in the store, or a re-read from its start)
  };
  Outcome outcome = Outcome::unchanged;
  std::string start_date;      // the store's start date, "YYYYMMDD"
  std::string old_end_date;    // its end date before the update
  std::string end_date;        // its end date now (the old one when unchanged)
  std::string reread_from;     // first date read again from the factor service
  std::string rebuild_reason;  // why the whole range was read again (rebuilt only), as progress said it
  // Dates of the close matrix that the store did not hold before, ascending.
  std::vector<std::string> added_dates;
  // Instruments that no dataset of the store held before, ascending.
  std::vector<std::string> added_instruments;
  // An extension derives again only the rows from this date on (and, in the rows before it, the columns
  // of instruments that a source gained); empty when it derived the whole range.
  std::string recomputed_from;
  // Data files whose stored rows were copied as they were rather than written anew.
  std::size_t files_copied = 0;
  StoreUpdateTimings timings;
};

// Updates `store` through the factor service installed with set_instance(), holding the store's writer lock
// throughout (taken once, as `options.lock` says: StoreLockedError when another process holds it, unless
// told to wait). Throws ValueError for an
// unreadable date, an end date before the store's end date, or a store without metadata or start date;
// ValueError as a build does when a membership factor has no data; errors of the service and the store
// pass through. On any failure the store is left as it was.
VELMORA_PREPARE_EXPORT StoreUpdate update_store(const BinaryPreparedDataStore& store,
                                                const StoreUpdateOptions& options);

}  // namespace velmora::backtest
