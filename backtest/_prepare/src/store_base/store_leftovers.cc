#include "velmora/backtest/store_leftovers.h"

#include <optional>
#include <set>
#include <string>

#include "store_entries.h"
#include "store_files.h"
#include "store_rewrite.h"
#include "velmora/backtest/store.h"
#include "velmora/errors.h"
#include "velmora/store_manifest.h"

namespace velmora::backtest {

namespace fs = std::filesystem;

namespace {

constexpr const char* PARTIAL = "partial or replaced file of an unfinished write";
constexpr const char* RECORD = "record of an unfinished write";
constexpr const char* TEMPORARY = "temporary file of an interrupted write";
constexpr const char* UNREFERENCED = "unreferenced file of the store";

// `file` of the store as a leftover, when it is a regular file inside the store directory.
void add_file(std::vector<StoreLeftover>& found, std::set<fs::path>& seen, const fs::path& store_dir,
              const std::string& file, const char* kind) {
  fs::path path;
  try {
    path = store_entries::resolve_file(store_dir, file);
  } catch (const ValueError&) {
    return;  // a record naming a path outside the store proves nothing
  }
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(path, error)) || !seen.insert(path).second) return;
  found.push_back({path, kind, bytes_below(path)});
}

}  // namespace

std::vector<StoreLeftover> store_write_leftovers(const fs::path& store_dir) {
  std::vector<StoreLeftover> found;
  std::error_code error;
  if (!fs::is_directory(store_dir, error)) return found;

  std::optional<std::set<std::string>> named;
  try {
    named = store_entries::named_files(BinaryPreparedDataStore(store_dir).load_metadata());
  } catch (const VelmoraError&) {
  } catch (const ValueError&) {
  }

  std::set<fs::path> seen;
  if (named) {
    const fs::path pending_path = store_dir / store_rewrite::PENDING_FILES_NAME;
    if (fs::is_regular_file(fs::symlink_status(pending_path, error))) {
      const std::string pending = store_files::read_file(pending_path);
      std::size_t start = 0;
      for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string file = pending.substr(start, end - start);
        if (!file.empty() && !named->count(file)) add_file(found, seen, store_dir, file, PARTIAL);
      }
    }
    if (std::optional<std::vector<std::string>> listed = manifest_paths(store_dir)) {
      for (const auto& file : *listed) {
        if (file != METADATA_FILE_NAME && !named->count(file)) add_file(found, seen, store_dir, file, UNREFERENCED);
      }
    }
    if (fs::is_regular_file(fs::symlink_status(pending_path, error))) {
      found.push_back({pending_path, RECORD, bytes_below(pending_path)});
    }
  }
  for (const auto& item : fs::directory_iterator(store_dir, error)) {
    std::error_code ignored;
    if (!item.is_regular_file(ignored) || item.is_symlink(ignored)) continue;
    const std::string name = item.path().filename().string();
    if (store_files::is_replace_temporary(name, METADATA_FILE_NAME) ||
        store_files::is_replace_temporary(name, MANIFEST_FILE_NAME)) {
      found.push_back({item.path(), TEMPORARY, bytes_below(item.path())});
    }
  }
  return found;
}

}  // namespace velmora::backtest
