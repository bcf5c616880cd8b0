#include <zip.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "velmora/backtest/package.h"
#include "velmora/errors.h"

namespace velmora::backtest {

namespace {

struct ArchiveDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

[[noreturn]] void fail(const std::string& what, zip_error_t* error) {
  throw VelmoraError("cannot write the package archive: " + what + ": " + zip_error_strerror(error));
}

}  // namespace

std::size_t pack_store_archive(const std::filesystem::path& store_dir, const std::filesystem::path& archive) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(store_dir))
    if (entry.is_regular_file() && !entry.is_symlink()) files.push_back(entry.path().lexically_relative(store_dir));
  std::sort(files.begin(), files.end());

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
