#pragma once

// The test behind flatten_single_subdir (internal; reached by the tests through this header).

#include <filesystem>
#include <optional>

#include "velmora/backtest/depot_export.h"

namespace velmora::backtest {

// The nested directory that flatten_single_subdir(store_dir) lifts up: the only entry of `store_dir` not
// starting with "." when it is a directory (or a link to one) and there is no metadata.pkl at the top;
// nothing otherwise. Raises only file-system errors.
VELMORA_DEPOT_EXPORT std::optional<std::filesystem::path> _single_subdir(const std::filesystem::path& store_dir);

}  // namespace velmora::backtest
