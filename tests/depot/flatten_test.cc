#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "support/dir_snapshot.h"
#include "support/temp_dir.h"
#include "velmora/backtest/depot.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::tree;
using testing::write_file;

class FlattenTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path store = dir / "enviroment";

  void SetUp() override { fs::create_directories(store); }
  void file(const std::string& relative, const std::string& bytes = "x") {
    fs::create_directories((store / relative).parent_path());
    write_file(store / relative, bytes);
  }
};

TEST_F(FlattenTest, LiftsTheSingleNestedDirectoryHiddenEntriesIncluded) {
  file("enviroment_data/metadata.pkl", "meta");
  file("enviroment_data/data/close.bin", "close");
  file("enviroment_data/.hidden", "h");
  file(".DS_Store", "finder");
  flatten_single_subdir(store);
  EXPECT_EQ(tree(store), (std::vector<std::string>{".DS_Store", ".hidden", "data", "data/close.bin", "metadata.pkl"}));
  EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
  EXPECT_EQ(read_file(store / ".DS_Store"), "finder");
}

TEST_F(FlattenTest, NestedLinkToADirectoryIsFlattenedAndTheLinkRemoved) {
  fs::create_directories(dir / "real");
  write_file(dir / "real" / "metadata.pkl", "meta");
  fs::create_directory_symlink(dir / "real", store / "enviroment_data");
  flatten_single_subdir(store);
  EXPECT_EQ(tree(store), (std::vector<std::string>{"metadata.pkl"}));
  EXPECT_TRUE(fs::is_empty(dir / "real"));
}

TEST_F(FlattenTest, MovesAcrossFileSystemsByCopying) {
  // A nested link into a directory on another file system: every move there is a copy and a delete.
  std::string pattern = "/dev/shm/velmora-flatten-XXXXXX";
  if (!fs::is_directory("/dev/shm") || !mkdtemp(pattern.data())) GTEST_SKIP() << "no /dev/shm";
  const fs::path elsewhere = pattern;
  struct stat here {}, there {};
  ::stat(store.c_str(), &here);
  ::stat(elsewhere.c_str(), &there);
  if (here.st_dev == there.st_dev) {
    fs::remove_all(elsewhere);
    GTEST_SKIP() << "/dev/shm is on the same file system";
  }
  fs::create_directories(elsewhere / "data");
  write_file(elsewhere / "metadata.pkl", "meta");
  write_file(elsewhere / "data" / "close.bin", "close");
  fs::create_symlink("metadata.pkl", elsewhere / "meta-link");
  fs::create_directory_symlink(elsewhere, store / "enviroment_data");
  flatten_single_subdir(store);
  EXPECT_EQ(tree(store), (std::vector<std::string>{"data", "data/close.bin", "meta-link", "metadata.pkl"}));
  EXPECT_EQ(read_file(store / "data/close.bin"), "close");
  EXPECT_TRUE(fs::is_symlink(store / "meta-link"));
  EXPECT_TRUE(fs::is_empty(elsewhere));
  fs::remove_all(elsewhere);
}

TEST_F(FlattenTest, LeavesEveryOtherLayoutUnchanged) {
  struct Case {
    const char* label;
    std::vector<std::string> files;
    std::vector<std::string> dirs;
  } cases[] = {
      {"directory beside metadata.pkl", {"metadata.pkl", "data/close.bin"}, {}},
      {"one plain file", {"metadata.pkl"}, {}},
      {"two directories", {"a/metadata.pkl", "b/x"}, {}},
      {"nothing", {}, {}},
      {"only hidden entries", {".a/metadata.pkl"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(store);
    fs::create_directories(store);
    for (const auto& f : c.files) file(f);
    const auto before = tree(store);
    flatten_single_subdir(store);
    EXPECT_EQ(tree(store), before);
  }
}

TEST_F(FlattenTest, SingleDirectoryNamedMetadataIsNotNesting) {
  file("metadata.pkl/inner.bin");
  flatten_single_subdir(store);
  EXPECT_EQ(tree(store), (std::vector<std::string>{"metadata.pkl", "metadata.pkl/inner.bin"}));
}

TEST_F(FlattenTest, NeverReplacesAnEntryAlreadyAtTheTop) {
  file("enviroment_data/a.bin", "a");
  file("enviroment_data/.DS_Store", "nested");
  file(".DS_Store", "top");
  EXPECT_THROW(flatten_single_subdir(store), fs::filesystem_error);
  EXPECT_EQ(read_file(store / ".DS_Store"), "top");
  EXPECT_TRUE(fs::exists(store / "enviroment_data"));
}

}  // namespace
}  // namespace velmora::backtest
