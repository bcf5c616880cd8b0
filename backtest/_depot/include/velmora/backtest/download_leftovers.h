#pragma once

// What killed package downloads leave around a store (see velmora/store_leftovers.h for joining it with
// the store's own leftovers, reporting them and removing them under the writer lock):
//  - "staging directory of an interrupted download": "<parent>/.<store>.staging-<random>";
//  - "store moved aside by an interrupted download": "<parent>/.<store>.previous-<random>", listed only while
//    the store directory exists (otherwise it is the store, which the next download renames back);
//  - "stale download archive": "<parent>/temp/download_*.pkg" that no running download holds locked (the
//    temp directory is shared by the stores under one parent, so a running download of another store keeps
//    its archive).

#include <filesystem>
#include <vector>

#include "velmora/backtest/depot_export.h"
#include "velmora/store_leftovers.h"

namespace velmora::backtest {

// The leftovers of downloads into `store_dir` ("~" expanded), staging directories first. A LeftoverFinder.
VELMORA_DEPOT_EXPORT std::vector<StoreLeftover> download_leftovers(const std::filesystem::path& store_dir);

}  // namespace velmora::backtest
