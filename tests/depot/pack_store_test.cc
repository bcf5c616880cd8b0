#include "velmora/backtest/package.h"

#include <gtest/gtest.h>

#include "extract/extract_zip.h"
#include "support/temp_dir.h"

namespace velmora::backtest {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(PackStoreArchive, PackedStoreExtractsToTheSameFilesAndPythonListsThemInOrder) {
  TempDir dir;
  auto store = dir / "store";
  std::filesystem::create_directories(store / "nested" / "deeper");
  write_file(store / "metadata.pkl", std::string("\x80\x05}\x94.", 5));
  write_file(store / "b.npy", std::string(300000, 'x'));
  write_file(store / ".hidden", "h");
  write_file(store / "nested" / "deeper" / "a.npy", "abc");
  std::filesystem::create_symlink("/etc/passwd", store / "link");

  EXPECT_EQ(pack_store_archive(store, dir / "out.zip"), 4u);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.zip.partial"));

  auto unpacked = dir / "unpacked";
  std::filesystem::create_directories(unpacked);
  _extract_zip(dir / "out.zip", unpacked);
  for (const char* name : {"metadata.pkl", "b.npy", ".hidden", "nested/deeper/a.npy"})
    EXPECT_EQ(read_file(unpacked / name), read_file(store / name)) << name;
  EXPECT_FALSE(std::filesystem::exists(unpacked / "link"));

  std::string listing;
  ASSERT_EQ(testing::run_python("import sys, zipfile\nprint(zipfile.ZipFile(sys.argv[1]).namelist())\n",
                                {(dir / "out.zip").string()}, listing),
            0);
  EXPECT_EQ(listing, "['.hidden', 'b.npy', 'metadata.pkl', 'nested/deeper/a.npy']\n");
}

TEST(PackStoreArchive, AFailedWriteLeavesNoArchive) {
  TempDir dir;
  std::filesystem::create_directories(dir / "store");
  write_file(dir / "store" / "x", "1");
  EXPECT_ANY_THROW(pack_store_archive(dir / "store", dir / "missing-dir" / "out.zip"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing-dir"));
}

}  // namespace
}  // namespace velmora::backtest
