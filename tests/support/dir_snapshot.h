#pragma once

// The complete state of a directory tree, to check that an operation left it byte for byte as it was.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace velmora::testing {

// Every entry below `dir` by relative path: a file's bytes, "<dir>" for a directory, "-> target" for a
// symbolic link (not followed). An absent `dir` gives an empty snapshot.
using DirSnapshot = std::map<std::string, std::string>;
DirSnapshot snapshot_dir(const std::filesystem::path& dir);

// Every path below `dir`, relative, in sorted order: a picture of what a call left on disk.
std::vector<std::string> tree(const std::filesystem::path& dir);

}  // namespace velmora::testing
