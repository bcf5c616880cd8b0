#pragma once

// The local paths of a package download (internal; reached by the tests through this header).

#include <filesystem>
#include <vector>

#include "velmora/backtest/depot_export.h"
#include "velmora/store_leftovers.h"

namespace velmora::backtest {

// `path` with a leading "~" (the home directory: $HOME, else the password database) or "~name" (that
// user's home directory) expanded; any other path, or an unknown user, is returned as it is. Trailing
// separators are dropped. The result is not made absolute.
VELMORA_DEPOT_EXPORT std::filesystem::path expand_user(const std::filesystem::path& path);

// Deletes every entry directly in `temp_dir` whose name begins with TEMP_FILE_PREFIX and ends with
// TEMP_FILE_SUFFIX (case-sensitive): the archives of earlier calls whose process was killed. An archive
// that a running download holds locked (flock) is in use, not stale, and is skipped, so downloads of two
// stores under one data root no longer delete each other's archive. An entry that vanished meanwhile is
// skipped; any other failure to delete (a directory of such a name, missing permission) raises
// std::filesystem::filesystem_error and ends the clean-up there.
VELMORA_DEPOT_EXPORT void _cleanup_stale_temp(const std::filesystem::path& temp_dir);

// The archives in `temp_dir` that _cleanup_stale_temp would delete, with their sizes. Changes nothing.
VELMORA_DEPOT_EXPORT std::vector<StoreLeftover> _stale_temp_leftovers(const std::filesystem::path& temp_dir);

// The shared temporary directory of the downloads into `store` ("~" already expanded): parent(store)/temp.
VELMORA_DEPOT_EXPORT std::filesystem::path _temp_dir_of(const std::filesystem::path& store);

}  // namespace velmora::backtest
