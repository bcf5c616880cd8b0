#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "extract/flatten.h"
#include "velmora/backtest/depot.h"

namespace velmora::backtest {
namespace {

constexpr char METADATA_FILE[] = "metadata.pkl";

// Moves `from` to `to`: a rename, or a copy followed by deleting the source where the two lie on different
// file systems. Never replaces an existing `to`.
void move_entry(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (std::filesystem::exists(std::filesystem::symlink_status(to))) {
    throw std::filesystem::filesystem_error("cannot move, name taken", from, to,
                                            std::make_error_code(std::errc::file_exists));
  }
  std::error_code error;
  std::filesystem::rename(from, to, error);
  if (!error) return;
  if (error != std::errc::cross_device_link) {
    throw std::filesystem::filesystem_error("cannot move", from, to, error);
  }
  std::filesystem::copy(from, to,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  std::filesystem::remove_all(from);
}

}  // namespace

std::optional<std::filesystem::path> _single_subdir(const std::filesystem::path& store_dir) {
  std::vector<std::filesystem::path> top_level;
  for (const auto& entry : std::filesystem::directory_iterator(store_dir)) {
    if (!entry.path().filename().string().starts_with('.')) top_level.push_back(entry.path());
  }
  if (top_level.size() != 1 || !std::filesystem::is_directory(top_level.front()) ||
      std::filesystem::exists(store_dir / METADATA_FILE)) {
    return std::nullopt;
  }
  return top_level.front();
}

void flatten_single_subdir(const std::filesystem::path& store_dir) {
  const std::optional<std::filesystem::path> single = _single_subdir(store_dir);
  if (!single) return;
  const std::filesystem::path& nested = *single;
  std::vector<std::filesystem::path> contents;
  for (const auto& entry : std::filesystem::directory_iterator(nested)) contents.push_back(entry.path());
  for (const auto& entry : contents) move_entry(entry, store_dir / entry.filename());
  // A link to a directory is removed as a link; the directory it named is empty now and stays.
  std::filesystem::remove(nested);
}

}  // namespace velmora::backtest
