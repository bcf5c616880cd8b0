#pragma once

// A fresh directory under the system temporary directory, removed with everything in it on destruction.

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Reads a whole file as bytes.
std::string read_file(const std::filesystem::path& path);
// Writes `bytes` to `path`, replacing it.
void write_file(const std::filesystem::path& path, const std::string& bytes);

// Runs Debian's python3 (which has numpy and pandas) on `script` with `args`; returns its exit status and
// leaves its standard output in `output`.
int run_python(const std::string& script, const std::vector<std::string>& args, std::string& output);

}  // namespace velmora::testing
