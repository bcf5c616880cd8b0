#pragma once

// Building a date range into a store: the whole workflow that a program, the command-line tool and the
// Python package run alike.
//
//   StoreBuild built = build_into_store("/data/store", {.start_date = "20240101", .end_date = "20241231"});
//
// A write replaces the store's whole content, so the workflow guards what the store holds:
//  - a build without any date (the factor service has no Close rows in the range) is not written over a
//    store that holds data, unless `allow_empty` says so: VelmoraError "the build of <start> to <end> holds
//    no date ...", and the store is left as it was;
//  - the components that were supplemented into the store (store_supplement.h) are built again over the
//    new range and kept (rebuild.h); when the factor service lacks one of them the build fails with
//    ValueError "a rebuild would lose component masks the store holds: <names>" and the store is left as
//    it was. `drop_components` names supplemented components to leave out instead, the way out when the
//    service no longer has them.
// A store whose metadata cannot be read is treated as holding nothing, so that a rebuild mends it.
//
// The workflow holds the store's writer lock from before the first read to the end of the write
// (velmora/store_writing.h); a failed build removes the directories and the lock file it created.

#include <functional>
#include <string>
#include <vector>

#include "velmora/backtest/prepare_export.h"
#include "velmora/store_writing.h"

namespace velmora::backtest {

struct StoreBuildOptions {
  // The range, in any form the builder accepts ("YYYYMMDD", "YYYY-MM-DD", "YYYY/MM/DD").
  std::string start_date;
  std::string end_date;
  // build_incremental (one batch query, single reads where it falls short) instead of build.
  bool batch = false;
  // Write a build without any date even over a store that holds data.
  bool allow_empty = false;
  // Supplemented components of the store to leave out of the new store instead of building them again.
  std::vector<std::string> drop_components;
  StoreLockOptions lock;
  // Called with a short text before each stage ("building 20240101 to 20241231", "writing the store").
  std::function<void(const std::string&)> progress;
};

// Seconds spent in each stage.
struct StoreBuildTimings {
  double build = 0;  // reading the factor service and deriving, kept components included
  double write = 0;  // writing the store's files, metadata and manifest
};

struct StoreBuild {
  std::string start_date;  // the built range, "YYYYMMDD"
  std::string end_date;
  std::size_t datasets = 0;          // matrices written
  std::size_t benchmark_series = 0;  // benchmark return series written
  std::size_t dates = 0;             // rows of the close matrix
  std::size_t instruments = 0;       // columns of the close matrix
  std::vector<std::string> components;  // every component the store lists now, in its order
  std::vector<std::string> kept;        // supplemented components built again and kept
  std::vector<std::string> dropped;     // supplemented components left out, as drop_components named them
  StoreBuildTimings timings;
};

// Builds [start_date, end_date] through the factor service installed with set_instance() and writes it as
// the whole content of `store_dir` (created when missing), as described above.
// Throws, leaving the store as it was: StoreLockedError when another process holds the store (LockWait::no);
// ValueError "cannot drop <names>: the store <dir> holds no such supplemented component (it holds: <names>)"
// when `drop_components` names a component that is not a supplemented component of the store (checked
// before the build); the errors of the build, of the guards above and of the write.
VELMORA_PREPARE_EXPORT StoreBuild build_into_store(const std::filesystem::path& store_dir,
                                                   const StoreBuildOptions& options);

}  // namespace velmora::backtest
