#include "extract/install_package.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file_io.h"
#include "common/store_metadata_name.h"
#include "extract/extract_zip.h"
#include "messages.h"
#include "velmora/errors.h"
#include "velmora/store_lock.h"
#include "velmora/store_manifest.h"
#include "velmora/store_pending_files.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view STAGING_INFIX = ".staging-";
constexpr std::string_view PREVIOUS_INFIX = ".previous-";
constexpr std::size_t RANDOM_PART_SIZE = 16;

fs::path directory_of(const fs::path& path) { return path.has_parent_path() ? path.parent_path() : fs::path("."); }

std::string sibling_prefix(const fs::path& store, std::string_view infix) {
  std::string prefix(".");  // appended: GCC 12 misreports an overlap in the concatenation at -O3 (-Wrestrict)
  prefix += store.filename().string();
  prefix += infix;
  return prefix;
}

fs::path new_sibling(const fs::path& store, std::string_view infix) {
  return directory_of(store) / (sibling_prefix(store, infix) + files::fresh_token());
}

bool is_sibling(const fs::path& entry, const fs::path& store, std::string_view infix) {
  const std::string prefix = sibling_prefix(store, infix);
  const std::string name = entry.filename().string();
  return name.size() == prefix.size() + RANDOM_PART_SIZE && name.starts_with(prefix);
}

// Links `from` as `to`; copies it where the file system cannot link (another device, no hard links, too
// many links).
void link_or_copy(const fs::path& from, const fs::path& to) {
  if (::link(from.c_str(), to.c_str()) == 0) return;
  if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP) throw_errno("cannot link", to);
  fs::copy_file(from, to);
}

// Recreates the tree `from` in the existing, empty directory `to` without copying file contents. Entries
// that are neither files, directories nor symbolic links (sockets, pipes, devices) are not store content
// and are not carried over.
void carry_over(const fs::path& from, const fs::path& to) {
  for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path target = to / it->path().lexically_relative(from);
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      fs::copy_symlink(it->path(), target);
    } else if (fs::is_directory(status)) {
      fs::create_directory(target, it->path());
    } else if (fs::is_regular_file(status)) {
      link_or_copy(it->path(), target);
    }
  }
}

// Every manifest the package carried must match the files beside it, or the package is damaged.
void check_manifests(const fs::path& staging, const std::vector<fs::path>& written) {
  for (const auto& file : written) {
    if (file.filename() != STORE_MANIFEST_FILE_NAME) continue;
    const std::vector<std::string> faults = manifest_faults(staging / file.parent_path());
    if (faults.empty()) continue;
    try {
      throw VelmoraError(faults.front());
    } catch (...) {
      std::throw_with_nested(VelmoraError(std::string(messages::DAMAGED_ARCHIVE)));
    }
  }
}

// The download keeps the files of the store it replaces, the files of an earlier package included. Those
// that the replaced store's manifest listed are the store's own: recorded as pending in the new tree, the
// store's next write removes the ones that no dataset names any more. A file the manifest does not list (the
// user's own), or every file of a store without a readable manifest, is never recorded.
void record_replaced_files(const fs::path& store, const fs::path& staging) {
  const std::optional<std::vector<std::string>> listed = manifest_paths(store);
  if (!listed) return;
  std::vector<std::string> replaced;
  for (const auto& path : *listed) {
    if (path != STORE_MANIFEST_FILE_NAME && path != METADATA_FILE_NAME) replaced.push_back(path);
  }
  add_pending_files(staging, replaced);
}

void sync_path(const fs::path& path, bool whole_file_system) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) throw_errno("cannot open", path);
  if ((whole_file_system ? ::syncfs(fd.get()) : ::fsync(fd.get())) != 0) throw_errno("cannot sync", path);
}

// Puts `staging` in the place of `store` and returns where the old tree is now.
fs::path swap_in(const fs::path& staging, const fs::path& store) {
  if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, store.c_str(), RENAME_EXCHANGE) == 0) return staging;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) throw_errno("cannot exchange", store);
  // The file system cannot exchange: two renames, with the store briefly absent. A run killed in between
  // leaves the store as ".<name>.previous-<random>", which the next run renames back.
  const fs::path previous = new_sibling(store, PREVIOUS_INFIX);
  fs::rename(store, previous);
  try {
    fs::rename(staging, store);
  } catch (...) {
    fs::rename(previous, store);
    throw;
  }
  return previous;
}

}  // namespace

std::vector<StoreLeftover> _staging_leftovers(const fs::path& store_dir) {
  std::vector<StoreLeftover> found;
  std::error_code error;
  if (!fs::is_directory(directory_of(store_dir), error)) return found;
  const bool store_exists = fs::exists(fs::symlink_status(store_dir, error));
  for (const auto& entry : fs::directory_iterator(directory_of(store_dir), error)) {
    if (is_sibling(entry.path(), store_dir, STAGING_INFIX)) {
      found.push_back({entry.path(), "staging directory of an interrupted download", bytes_below(entry.path())});
    } else if (store_exists && is_sibling(entry.path(), store_dir, PREVIOUS_INFIX)) {
      found.push_back({entry.path(), "store moved aside by an interrupted download", bytes_below(entry.path())});
    }
  }
  return found;
}

void _cleanup_stale_staging(const fs::path& store_dir) {
  if (!fs::is_directory(directory_of(store_dir))) return;
  std::vector<fs::path> staging, previous;
  for (const auto& entry : fs::directory_iterator(directory_of(store_dir))) {
    if (is_sibling(entry.path(), store_dir, STAGING_INFIX)) staging.push_back(entry.path());
    if (is_sibling(entry.path(), store_dir, PREVIOUS_INFIX)) previous.push_back(entry.path());
  }
  if (!previous.empty() && !fs::exists(fs::symlink_status(store_dir))) {
    fs::rename(previous.back(), store_dir);
    previous.pop_back();
  }
  for (const auto& path : staging) fs::remove_all(path);
  for (const auto& path : previous) fs::remove_all(path);
}

void _install_package(const fs::path& archive, const fs::path& store_dir, const UnpackProgress& progress) {
  StoreWriterLock lock(store_dir);
  _install_package(archive, store_dir, progress, lock);
}

void _install_package(const fs::path& archive, const fs::path& store_dir, const UnpackProgress& progress,
                      const StoreWriterLock&) {
  // First, so that a store a killed run left aside is back before anything looks at the store directory.
  _cleanup_stale_staging(store_dir);
  fs::create_directories(store_dir);
  const fs::path store = fs::is_symlink(store_dir) ? fs::canonical(store_dir) : store_dir;
  if (store != store_dir) _cleanup_stale_staging(store);

  const fs::path staging = new_sibling(store, STAGING_INFIX);
  if (::mkdir(staging.c_str(), 0700) != 0) throw_errno("cannot create", staging);
  try {
    fs::permissions(staging, fs::status(store).permissions());
    carry_over(store, staging);
    check_manifests(staging, _extract_zip(archive, staging, progress));
    record_replaced_files(store, staging);
    sync_path(staging, true);
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    throw;
  }

  const fs::path old_tree = swap_in(staging, store);
  sync_path(directory_of(store), false);
  // The new store is in place; an old tree that cannot be removed now goes with the next run.
  std::error_code ignored;
  fs::remove_all(old_tree, ignored);
}

}  // namespace velmora::backtest
