#include "velmora/backtest/package.h"

#include <gtest/gtest.h>

#include "extract/extract_zip.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "velmora/errors.h"
#include "velmora/file_primitives.h"

namespace velmora::backtest {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

// A manifest.json listing `paths` of `dir` with their sizes and CRC-32, as a store writes it.
void write_manifest(const std::filesystem::path& dir, const std::vector<std::string>& paths) {
  std::string json = R"({"format": "velmora-prepared-data-manifest", "version": 1, "files": [)";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string bytes = read_file(dir / paths[i]);
    json += (i ? ", " : "") + std::string(R"({"path": ")") + paths[i] + R"(", "size": )" +
            std::to_string(bytes.size()) + R"(, "crc32": ")" +
            files::crc_text(files::crc32_update(0, bytes.data(), bytes.size())) + "\"}";
  }
  write_file(dir / "manifest.json", json + "]}\n");
}

std::string zip_listing(const std::filesystem::path& archive) {
  std::string listing;
  EXPECT_EQ(testing::run_python("import sys, zipfile\nprint(zipfile.ZipFile(sys.argv[1]).namelist())\n",
                                {archive.string()}, listing),
            0);
  return listing;
}

TEST(PackStoreArchive, PacksWhatTheManifestListsAndNothingOfTheUsersOwn) {
  TempDir dir;
  auto store = dir / "store";
  std::filesystem::create_directories(store / "data");
  write_file(store / "metadata.pkl", std::string("\x80\x05}\x94.", 5));
  write_file(store / "close_price.3f9a1c2e0b7d4a61.npy", std::string(300000, 'x'));
  write_file(store / "data" / "open.npy", "abc");
  write_manifest(store, {"metadata.pkl", "close_price.3f9a1c2e0b7d4a61.npy", "data/open.npy"});
  // The user's own files, a partial file of an interrupted write and a download's staging copy stay out.
  write_file(store / "returns.1234567890abcdef.npy", "mine");
  write_file(store / ".pending_files", "buy_price.0123456789abcdef.npy\n");
  write_file(store / "buy_price.0123456789abcdef.npy", "partial");
  std::filesystem::create_directories(store / ".inner.staging-0123456789abcdef");
  write_file(store / ".inner.staging-0123456789abcdef" / "manifest.json", R"({"files": []})");
  std::filesystem::create_symlink("/etc/passwd", store / "link");

  EXPECT_EQ(pack_store_archive(store, dir / "out.zip"), 4u);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.zip.partial"));
  EXPECT_EQ(zip_listing(dir / "out.zip"),
            "['close_price.3f9a1c2e0b7d4a61.npy', 'data/open.npy', 'manifest.json', 'metadata.pkl']\n");

  auto unpacked = dir / "unpacked";
  std::filesystem::create_directories(unpacked);
  _extract_zip(dir / "out.zip", unpacked);
  for (const char* name : {"metadata.pkl", "close_price.3f9a1c2e0b7d4a61.npy", "data/open.npy", "manifest.json"})
    EXPECT_EQ(read_file(unpacked / name), read_file(store / name)) << name;
}

TEST(PackStoreArchive, AStorePackedInsideOneFolderKeepsTheFolder) {
  TempDir dir;
  auto store = dir / "publish" / "enviroment_data";
  std::filesystem::create_directories(store);
  write_file(store / "metadata.pkl", "m");
  write_file(store / "a.npy", "a");
  write_manifest(store, {"a.npy"});  // a publisher's manifest that does not list the metadata
  write_file(dir / "publish" / "notes.txt", "the publisher's own");

  EXPECT_EQ(pack_store_archive(dir / "publish", dir / "out.zip"), 3u);
  EXPECT_EQ(zip_listing(dir / "out.zip"),
            "['enviroment_data/a.npy', 'enviroment_data/manifest.json', 'enviroment_data/metadata.pkl']\n");
}

TEST(PackStoreArchive, RefusesADirectoryWithoutAStoreAndAManifestThatLeavesIt) {
  TempDir dir;
  std::filesystem::create_directories(dir / "store");
  write_file(dir / "store" / "x", "1");
  testing::expect_error<VelmoraError>([&] { pack_store_archive(dir / "store", dir / "out.zip"); },
                                      "cannot pack " + (dir / "store").string() +
                                          ": no manifest.json in it or in a folder below it");
  write_file(dir / "store" / "manifest.json", R"({"files": [{"path": "../secret", "size": 1, "crc32": "0"}]})");
  testing::expect_error<VelmoraError>([&] { pack_store_archive(dir / "store", dir / "out.zip"); },
                                      "cannot pack " + (dir / "store").string() +
                                          ": its manifest.json is unreadable or names a file outside it");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.zip"));
}

TEST(PackStoreArchive, AListedFileThatIsMissingFailsInsteadOfShippingADamagedStore) {
  TempDir dir;
  std::filesystem::create_directories(dir / "store");
  write_file(dir / "store" / "a.npy", "a");
  write_file(dir / "store" / "b.npy", "b");
  write_manifest(dir / "store", {"a.npy", "b.npy"});
  std::filesystem::remove(dir / "store" / "b.npy");
  EXPECT_THROW(pack_store_archive(dir / "store", dir / "out.zip"), VelmoraError);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.zip"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out.zip.partial"));
}

TEST(PackStoreArchive, AFailedWriteLeavesNoArchive) {
  TempDir dir;
  std::filesystem::create_directories(dir / "store");
  write_file(dir / "store" / "x", "1");
  write_manifest(dir / "store", {"x"});
  EXPECT_ANY_THROW(pack_store_archive(dir / "store", dir / "missing-dir" / "out.zip"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing-dir"));
}

}  // namespace
}  // namespace velmora::backtest
