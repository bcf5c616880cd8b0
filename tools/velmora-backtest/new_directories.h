#pragma once

// The directories a writing command creates on its way (a store directory and the parents it lacks), so
// that a failed command leaves none of them behind empty.
//
//   NewDirectories created;
//   created.watch(store_dir);     // before any work: records which of them are missing now
//   ... work that may throw ...
//   created.keep();               // success: the directories stay
//
// Unless kept, the destructor removes every watched directory that the command found missing and that is
// empty now, deepest first. It never removes a directory that existed before or that holds anything.

#include <filesystem>
#include <vector>

namespace velmora::tool {

class NewDirectories {
 public:
  NewDirectories() = default;
  NewDirectories(const NewDirectories&) = delete;
  NewDirectories& operator=(const NewDirectories&) = delete;
  ~NewDirectories();

  // Records `directory` and each of its ancestors that does not exist yet.
  void watch(const std::filesystem::path& directory);
  void keep() { missing_.clear(); }

 private:
  std::vector<std::filesystem::path> missing_;  // deepest first within each watch
};

}  // namespace velmora::tool
