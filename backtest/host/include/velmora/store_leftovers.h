#pragma once

// What killed or failed writers leave on disk around a store, and its removal. Each library knows the
// leftovers of its own writers: the store's writes (velmora/backtest/store_leftovers.h, _prepare) leave
// partial data files, their ".pending_files" record and temporary metadata or manifest files; the package
// download (velmora/backtest/download_leftovers.h, _depot) leaves staging directories beside the store and
// archives in the shared temp directory. The two libraries do not link each other, so a caller joins their
// finders here, where the writer lock lives:
//
//   std::vector<LeftoverFinder> finders{backtest::store_write_leftovers, backtest::download_leftovers};
//   for (const StoreLeftover& left : find_leftovers(store_dir, finders)) ...   // verify: report them
//   remove_leftovers(store_dir, finders, {});                                  // clean: under the lock
//
// A finder lists only what its writers can be proven to have created; a user's own file is never listed.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "velmora/host_export.h"
#include "velmora/store_writing.h"

namespace velmora {

struct StoreLeftover {
  std::filesystem::path path;  // below or beside the store directory, as the finder found it
  std::string kind;            // what it is, in English words ("partial file of an interrupted write", ...)
  std::uintmax_t bytes = 0;    // its size; for a directory, the sizes of the files below it
};

// Lists the leftovers of one library's writers for the store at `store_dir`, removal order (a record after
// the files it lists).
using LeftoverFinder = std::function<std::vector<StoreLeftover>(const std::filesystem::path& store_dir)>;

// The size of a file, or the summed sizes of the regular files below a directory (links not followed);
// 0 for what cannot be read.
VELMORA_HOST_EXPORT std::uintmax_t bytes_below(const std::filesystem::path& path);

// What every finder lists, in the finders' order. Takes no lock: while a writer runs, its files in progress
// are listed too.
VELMORA_HOST_EXPORT std::vector<StoreLeftover> find_leftovers(const std::filesystem::path& store_dir,
                                                             const std::vector<LeftoverFinder>& finders);

// Takes the store's writer lock as `lock` says (throws StoreLockedError with LockWait::no while another
// writer runs), lists the leftovers with every finder under it, removes them (a directory with everything
// below it) and returns what it removed. File-system errors are thrown unchanged.
VELMORA_HOST_EXPORT std::vector<StoreLeftover> remove_leftovers(const std::filesystem::path& store_dir,
                                                               const std::vector<LeftoverFinder>& finders,
                                                               const StoreLockOptions& lock);

}  // namespace velmora
