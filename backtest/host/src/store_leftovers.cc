#include "velmora/store_leftovers.h"

namespace velmora {

namespace fs = std::filesystem;

std::uintmax_t bytes_below(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (fs::is_regular_file(status)) {
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
  }
  if (!fs::is_directory(status)) return 0;
  std::uintmax_t total = 0;
  for (auto it = fs::recursive_directory_iterator(path, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    std::error_code ignored;
    if (it->is_regular_file(ignored) && !it->is_symlink(ignored)) {
      const std::uintmax_t size = it->file_size(ignored);
      if (!ignored) total += size;
    }
  }
  return total;
}

std::vector<StoreLeftover> find_leftovers(const fs::path& store_dir, const std::vector<LeftoverFinder>& finders) {
  std::vector<StoreLeftover> found;
  for (const auto& finder : finders) {
    std::vector<StoreLeftover> more = finder(store_dir);
    found.insert(found.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
  return found;
}

std::vector<StoreLeftover> remove_leftovers(const fs::path& store_dir, const std::vector<LeftoverFinder>& finders,
                                            const StoreLockOptions& lock) {
  StoreWritingScope scope(store_dir, lock);
  // Listed again under the lock: what a writer had in progress before it is now either its store's or left.
  std::vector<StoreLeftover> found = find_leftovers(store_dir, finders);
  for (const auto& leftover : found) fs::remove_all(leftover.path);
  scope.succeeded();
  return found;
}

}  // namespace velmora
