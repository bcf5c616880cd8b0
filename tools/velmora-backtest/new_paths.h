#pragma once

// The paths a writing command creates on its way (a store directory, the parents it lacks, the store's lock
// file beside it), so that a failed command leaves none of them behind.
//
//   NewPaths created;
//   created.watch_directory(store_dir);   // before any work: records which of them are missing now
//   ... work that may throw ...
//   created.keep();                       // success: everything stays
//
// Unless kept, the destructor removes every watched file that was missing, then every watched directory
// that was missing and is empty now, deepest first. It never removes what existed before, nor a directory
// that holds anything. A lock file must only be removed by the holder of its lock: keep the lock alive
// until this object is gone.

#include <filesystem>
#include <vector>

namespace velmora::tool {

class NewPaths {
 public:
  NewPaths() = default;
  NewPaths(const NewPaths&) = delete;
  NewPaths& operator=(const NewPaths&) = delete;
  ~NewPaths();

  // Records `directory` and each of its ancestors that does not exist yet.
  void watch_directory(const std::filesystem::path& directory);
  // Records `file` when it does not exist yet.
  void watch_file(const std::filesystem::path& file);
  void keep();

 private:
  std::vector<std::filesystem::path> directories_;
  std::vector<std::filesystem::path> files_;
};

}  // namespace velmora::tool
