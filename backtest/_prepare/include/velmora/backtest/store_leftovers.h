#pragma once

// What the store's own writes leave behind when they fail or are killed (see velmora/store_leftovers.h for
// joining it with the download's leftovers, reporting them and removing them under the writer lock):
//  - "partial or replaced file of an unfinished write": a file recorded in ".pending_files" that the
//    metadata does not name (a file an interrupted write created, or a file of a store that a download
//    replaced), and "record of an unfinished write", the ".pending_files" record itself (listed after the
//    files it records);
//  - "temporary file of an interrupted write": "metadata.pkl.<token>.tmp", "manifest.json.<token>.tmp";
//  - "unreferenced file of the store": a file the manifest lists that the metadata does not name (the
//    manifest of a write killed before it replaced it).
// Nothing else: a file the store cannot prove it wrote, named like a data file or not, is never listed. A
// store whose metadata cannot be read lists only its temporary files, since nothing is known to be unnamed.
// The next write of the store removes every kind by itself; clean removes them without a write.

#include <filesystem>
#include <vector>

#include "velmora/backtest/prepare_export.h"
#include "velmora/store_leftovers.h"

namespace velmora::backtest {

// The leftovers of the store's writes in `store_dir`, in removal order; empty for a directory that is
// missing or holds no store. A LeftoverFinder.
VELMORA_PREPARE_EXPORT std::vector<StoreLeftover> store_write_leftovers(const std::filesystem::path& store_dir);

}  // namespace velmora::backtest
