#include <zip.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/store_metadata_name.h"
#include "messages.h"
#include "velmora/backtest/package.h"
#include "velmora/errors.h"
#include "velmora/store_manifest.h"

namespace velmora::backtest {

namespace {


struct ArchiveDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

[[noreturn]] void fail(const std::string& what, zip_error_t* error) {
  throw VelmoraError("cannot write the package archive: " + what + ": " + zip_error_strerror(error));
}

// The store files below `store_dir`: in every directory holding a manifest (a store, or the one folder a
// store is packed in), its manifest, its metadata and the files the manifest lists. Directories whose name
// starts with "." (a download's staging directory, a store moved aside) are not entered.
std::vector<std::filesystem::path> store_files_below(const std::filesystem::path& store_dir) {
  namespace fs = std::filesystem;
  std::set<fs::path> files;
  std::vector<fs::path> stores;
  if (fs::is_regular_file(store_dir / STORE_MANIFEST_FILE_NAME)) stores.push_back(store_dir);
  for (auto it = fs::recursive_directory_iterator(store_dir); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_directory() || it->is_symlink()) continue;
    if (it->path().filename().string().starts_with('.')) {
      it.disable_recursion_pending();
    } else if (fs::is_regular_file(it->path() / STORE_MANIFEST_FILE_NAME)) {
      stores.push_back(it->path());
    }
  }
  if (stores.empty()) throw VelmoraError(messages::nothing_to_pack(store_dir.string()));
  for (const auto& store : stores) {
    std::optional<std::vector<std::string>> listed = manifest_paths(store);
    if (!listed) throw VelmoraError(messages::manifest_unusable(store.string()));
    const fs::path prefix = store.lexically_relative(store_dir);
    files.insert((prefix / STORE_MANIFEST_FILE_NAME).lexically_normal());
    if (fs::is_regular_file(store / METADATA_FILE_NAME)) files.insert((prefix / METADATA_FILE_NAME).lexically_normal());
    // A listed file that is missing stays in the list, so that the archive fails instead of shipping a
    // store its own manifest calls damaged; a listed link is left out as links are never packed.
    for (const auto& path : *listed) {
      if (!fs::is_symlink(fs::symlink_status(store / path))) files.insert((prefix / path).lexically_normal());
    }
  }
  return {files.begin(), files.end()};
}

}  // namespace

std::size_t pack_store_archive(const std::filesystem::path& store_dir, const std::filesystem::path& archive) {
  const std::vector<std::filesystem::path> files = store_files_below(store_dir);

  std::filesystem::path partial = archive;
  partial += ".partial";
  std::filesystem::remove(partial);
  int code = 0;
  std::unique_ptr<zip_t, ArchiveDiscarder> zip(zip_open(partial.c_str(), ZIP_CREATE | ZIP_EXCL, &code));
  if (!zip) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    fail(partial.string(), &error);
  }
  for (const auto& relative : files) {
    const std::string source_path = (store_dir / relative).string();
    zip_source_t* source = zip_source_file(zip.get(), source_path.c_str(), 0, -1);
    if (!source) fail(source_path, zip_get_error(zip.get()));
    zip_int64_t index = zip_file_add(zip.get(), relative.generic_string().c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(source);
      fail(relative.generic_string(), zip_get_error(zip.get()));
    }
    zip_set_file_compression(zip.get(), static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1);
  }
  if (zip_close(zip.get()) != 0) fail(partial.string(), zip_get_error(zip.get()));
  zip.release();  // closed and freed by zip_close
  try {
    std::filesystem::rename(partial, archive);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);  // no partial archive stays behind
    throw;
  }
  return files.size();
}

}  // namespace velmora::backtest
