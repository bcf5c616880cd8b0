#pragma once

// Supplementing a store: adding the index-membership masks of named components over the store's own date
// range, without rebuilding it. The workflow behind the tool's `supplement` and the Python package's
// supplement_store.
//
//   StoreSupplement added = supplement_store("/data/store", {"rq_index_components_new_000016.XSHG"});
//
// It holds the store's writer lock from reading the metadata to rewriting it (velmora/store_writing.h),
// reads the store's range from its metadata, reads each mask through the factor service installed with
// set_instance() (GroupPreparedDataBuilder::_component_matrices) and writes those the store lacks
// (BinaryPreparedDataStore::add_component_matrices). A later build of the store keeps them (store_build.h).

#include <functional>
#include <string>
#include <vector>

#include "velmora/backtest/prepare_export.h"
#include "velmora/store_writing.h"

namespace velmora::backtest {

struct StoreSupplementOptions {
  StoreLockOptions lock;
  // Called with a short text before each stage ("reading the masks", "writing the store").
  std::function<void(const std::string&)> progress;
};

struct StoreSupplement {
  std::vector<std::string> added;            // names whose masks were written, in the order given
  std::vector<std::string> already_present;  // names the store held before, in the order given
};

// Supplements `component_names` (cleaned as parse_name_list does) into the store at `store_dir`.
// Throws, leaving the store as it was: StoreLockedError when another process holds the store
// (LockWait::no); VelmoraError "no prepared-data store with a date range at <dir>" when the store has no
// metadata with a start and an end date; ValueError "缺失成分股矩阵为空，无法补充: <name>" when the
// factor service has no data for a name the store lacks; errors of the service and the store.
VELMORA_PREPARE_EXPORT StoreSupplement supplement_store(const std::filesystem::path& store_dir,
                                                        const std::vector<std::string>& component_names,
                                                        const StoreSupplementOptions& options = {});

}  // namespace velmora::backtest
