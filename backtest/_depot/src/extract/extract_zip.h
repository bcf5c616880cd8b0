#pragma once

// Unpacks a zip archive into a directory, refusing archives whose entries would land outside it
// (internal; reached by the tests through this header).

#include <filesystem>
#include <vector>

#include "velmora/backtest/depot.h"
#include "velmora/backtest/depot_export.h"

namespace velmora::backtest {

// Checks every entry of `archive` before writing anything: the entry, resolved against the existing
// `store_dir` (symbolic links followed), and the path it would be written to must both stay inside
// `store_dir`, and a file entry must name a file. Then writes the entries in archive order, each file to
// a temporary file beside its final path that replaces the final path only after its CRC-32 checked out.
// Only contents are restored: no permission bits, owners or times; a symbolic-link entry becomes a plain
// file holding the link text.
// REQUIRES: `store_dir` exists.
//
// Errors: VelmoraError "回测基准数据包含非法路径条目: " + entry name, before anything is written;
// VelmoraError "回测基准数据包损坏,无法解压" for a file that is not a zip archive, an empty file, or a
// damaged entry (cause: std::system_error in the "libzip" category). Archives of streaming writers are
// valid: local headers may leave sizes and CRC-32 zero or partly filled when a data descriptor follows the
// data. Damage is a central directory that cannot be read, a local header that is missing or names
// another entry or method (found before anything is written), or entry data that is truncated or fails
// its CRC-32 (found while reading it; entries written before stay). Other errors (unreadable archive,
// full disk, encrypted or unsupported entries) pass through, those of the zip library as
// std::system_error in the "libzip" category.
//
// Calls `progress` after each entry with the entries done and their total. Returns the paths of the files
// written, relative to `store_dir`, in archive order.
VELMORA_DEPOT_EXPORT std::vector<std::filesystem::path> _extract_zip(const std::filesystem::path& archive,
                                                                    const std::filesystem::path& store_dir,
                                                                    const UnpackProgress& progress = {});

}  // namespace velmora::backtest
