#pragma once

// Puts a downloaded package in place of a store directory all or nothing (internal; reached by the tests
// through this header).

#include <filesystem>
#include <vector>

#include "velmora/backtest/depot.h"
#include "velmora/backtest/depot_export.h"
#include "velmora/store_leftovers.h"
#include "velmora/store_lock.h"

namespace velmora::backtest {

// Unpacks `archive` over the store directory `store_dir` so that the store is either left exactly as it
// was or replaced as a whole, whatever happens (an error, a damaged member, the process killed):
//   1. under the store's writer lock, removes what killed runs left beside the store (see below);
//   2. builds the new store in a staging directory beside it, ".<store name>.staging-<random>": every file
//      of the current store carried over as a hard link (a copy where the file system has none), every
//      directory and symbolic link recreated, then the archive unpacked over it, so files the package does
//      not contain are kept and files of the same name are replaced (a replaced file is a new file; the
//      linked original is never written to);
//   3. checks every manifest.json the package carried against the files beside it (sizes, CRC-32);
//   4. syncs the staged files to disk and exchanges the staging directory with the store directory in one
//      atomic step (renameat2 RENAME_EXCHANGE); on a file system without that exchange, the store is
//      renamed aside to ".<store name>.previous-<random>" and the staging directory renamed into its place,
//      and a run killed between the two renames is repaired by the next run, which renames it back;
//   5. removes the old tree.
// A store directory that is a symbolic link is resolved and its target replaced. Before the exchange the
// store is untouched; a staging directory left by a killed run is removed by the next run.
//
// Errors: those of _extract_zip; VelmoraError "回测基准数据包损坏,无法解压" when a manifest of the package
// disagrees with its files (cause: VelmoraError naming the first such file); StoreLockedError while another
// process writes the store; file-system errors unchanged.
VELMORA_DEPOT_EXPORT void _install_package(const std::filesystem::path& archive, const std::filesystem::path& store_dir,
                                           const UnpackProgress& progress = {});

// The same under a lock the caller took for a whole workflow.
// REQUIRES: the caller holds the store's writer lock: `held` is the lock of `store_dir`.
VELMORA_DEPOT_EXPORT void _install_package(const std::filesystem::path& archive, const std::filesystem::path& store_dir,
                                           const UnpackProgress& progress, const StoreWriterLock& held);

// Removes the staging directories and moved-aside old stores that killed runs left beside `store_dir`
// (the names of step 2 and 4 above with this store's name), after renaming a moved-aside store back when
// `store_dir` itself is missing. REQUIRES: the caller holds the store's writer lock.
VELMORA_DEPOT_EXPORT void _cleanup_stale_staging(const std::filesystem::path& store_dir);

// The staging directories and moved-aside stores that _cleanup_stale_staging would remove (a moved-aside
// store only while `store_dir` exists), with their sizes. Changes nothing.
VELMORA_DEPOT_EXPORT std::vector<StoreLeftover> _staging_leftovers(const std::filesystem::path& store_dir);

}  // namespace velmora::backtest
