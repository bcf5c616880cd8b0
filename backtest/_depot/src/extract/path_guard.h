#pragma once

// Decides whether an archive entry stays inside the directory it is extracted into. Paths are compared
// after resolution (made absolute, every symbolic link followed, dangling ones included, "." and ".."
// collapsed after the links before them, missing components taken as written), component by component:
// /data/pkg2/x is not inside /data/pkg.

#include <filesystem>
#include <string>

namespace velmora::backtest {

// `path` made absolute and resolved as above. Raises std::filesystem::filesystem_error for a link loop.
std::filesystem::path resolve(const std::filesystem::path& path);

// True when `resolved` equals `resolved_root` or lies below it. Both must come from resolve().
bool is_within(const std::filesystem::path& resolved_root, const std::filesystem::path& resolved);

// The relative path an entry is written to: `member` split at "/" with every empty, "." and ".." component
// dropped (so a leading "/" disappears too). Empty when nothing is left.
std::filesystem::path extraction_path(const std::string& member);

}  // namespace velmora::backtest
