#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "velmora/backtest/depot.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::vector<std::string> tree(const fs::path& dir) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    paths.push_back(entry.path().lexically_relative(dir).string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

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
