// The leftovers of killed downloads around a store: listed with their sizes, removed under the writer lock,
// and nothing else touched (an archive a running download holds, the user's own files beside the store).

#include "velmora/backtest/download_leftovers.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::vector<std::pair<std::string, std::uintmax_t>> names_and_sizes(const std::vector<StoreLeftover>& found) {
  std::vector<std::pair<std::string, std::uintmax_t>> out;
  for (const auto& leftover : found) out.emplace_back(leftover.path.filename().string(), leftover.bytes);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(DownloadLeftovers, StagingAndStaleArchivesAreListedThenRemovedAndARunningDownloadsArchiveStays) {
  TempDir dir;
  const fs::path store = dir / "store";
  fs::create_directories(store);
  write_file(store / "metadata.pkl", "m");
  fs::create_directories(dir / ".store.staging-0123456789abcdef" / "sub");
  write_file(dir / ".store.staging-0123456789abcdef" / "sub" / "a.npy", std::string(100, 'a'));
  write_file(dir / ".store.staging-0123456789abcdef" / "b.npy", std::string(20, 'b'));
  fs::create_directories(dir / ".store.previous-fedcba9876543210");
  write_file(dir / ".store.previous-fedcba9876543210" / "metadata.pkl", "old");
  fs::create_directories(dir / "temp");
  write_file(dir / "temp" / "download_stale.pkg", std::string(7, 'z'));
  write_file(dir / "temp" / "download_running.pkg", "r");
  const int running = ::open((dir / "temp" / "download_running.pkg").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(running, 0);
  ASSERT_EQ(::flock(running, LOCK_EX), 0);
  // The user's own files, and another store's staging directory, are no leftovers of this store.
  write_file(dir / "temp" / "notes.pkg", "mine");
  fs::create_directories(dir / ".other.staging-0123456789abcdef");
  write_file(dir / ".store.staging-short", "mine");

  const std::vector<std::pair<std::string, std::uintmax_t>> expected{
      {".store.previous-fedcba9876543210", 3}, {".store.staging-0123456789abcdef", 120}, {"download_stale.pkg", 7}};
  EXPECT_EQ(names_and_sizes(download_leftovers(store)), expected);
  EXPECT_EQ(names_and_sizes(remove_leftovers(store, {download_leftovers}, {})), expected);

  EXPECT_TRUE(download_leftovers(store).empty());
  EXPECT_FALSE(fs::exists(dir / ".store.staging-0123456789abcdef"));
  EXPECT_FALSE(fs::exists(dir / ".store.previous-fedcba9876543210"));
  EXPECT_FALSE(fs::exists(dir / "temp" / "download_stale.pkg"));
  EXPECT_TRUE(fs::exists(dir / "temp" / "download_running.pkg"));
  EXPECT_EQ(read_file(dir / "temp" / "notes.pkg"), "mine");
  EXPECT_TRUE(fs::exists(dir / ".other.staging-0123456789abcdef"));
  EXPECT_EQ(read_file(dir / ".store.staging-short"), "mine");
  EXPECT_EQ(read_file(store / "metadata.pkl"), "m");
  ::close(running);
}

TEST(DownloadLeftovers, AStoreMovedAsideIsNoLeftoverWhileTheStoreIsMissing) {
  TempDir dir;
  fs::create_directories(dir / ".store.previous-fedcba9876543210");
  write_file(dir / ".store.previous-fedcba9876543210" / "metadata.pkl", "the store");
  EXPECT_TRUE(download_leftovers(dir / "store").empty());
}

}  // namespace
}  // namespace velmora::backtest
