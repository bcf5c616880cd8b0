#pragma once

// The manifest of a prepared-data store or package: "manifest.json" at the top of the directory, listing
// every other file of it ("files": [{"path", "size", "crc32"}, ...], paths relative to the directory, CRC-32
// as eight lowercase hex digits of zlib's crc32). Checking a directory against its manifest is shared by
// the store, which verifies itself, and the package download, which checks a staged package before it
// replaces a store.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "velmora/host_export.h"

namespace velmora {

inline constexpr const char* STORE_MANIFEST_FILE_NAME = "manifest.json";

// Every disagreement between `dir` and its manifest, one text each, in the manifest's order: the manifest
// missing or unreadable (then the only text), a listed file that is missing or unreadable, whose path leaves
// `dir` (absolute or with ".."), or whose size or CRC-32 differs. Empty when every listed file matches.
VELMORA_HOST_EXPORT std::vector<std::string> manifest_faults(const std::filesystem::path& dir);

// The paths the manifest of `dir` lists, in its order, as written (relative to `dir`). Nothing when the
// manifest is missing or unreadable, or when one of its records names no path or a path that leaves `dir`:
// such a manifest proves nothing about which files are the store's.
VELMORA_HOST_EXPORT std::optional<std::vector<std::string>> manifest_paths(const std::filesystem::path& dir);

}  // namespace velmora
