// A package is put in place all or nothing: a damaged member, a manifest that disagrees with the package,
// another writer holding the store, or the process killed at any point of the unpacking leaves the
// previous store byte for byte; a good package keeps the files it does not replace and replaces the rest.

#include "extract/install_package.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "support/dir_snapshot.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "support/zip_writer.h"
#include "velmora/errors.h"
#include "velmora/store_lock.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::DirSnapshot;
using testing::read_file;
using testing::snapshot_dir;
using testing::TempDir;
using testing::write_file;
using testing::write_zip;
using testing::ZipMember;

const std::string DAMAGED = "回测基准数据包损坏,无法解压";

std::string crc_of(const std::string& bytes) {
  char text[9];
  std::snprintf(text, sizeof text, "%08lx",
                ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  return text;
}

// A manifest.json listing `files` (name → bytes) as a store writes it.
std::string manifest_of(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string json = R"({"format": "velmora-prepared-data-manifest", "version": 1, "files": [)";
  for (std::size_t i = 0; i < files.size(); ++i) {
    json += (i ? ", " : "") + std::string(R"({"path": ")") + files[i].first + R"(", "size": )" +
            std::to_string(files[i].second.size()) + R"(, "crc32": ")" + crc_of(files[i].second) + "\"}";
  }
  return json + "]}";
}

std::vector<std::string> siblings(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class InstallPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A good store: files at the top and below, a hidden file, an empty directory and a relative link.
    fs::create_directories(store / "data" / "deep");
    fs::create_directories(store / "empty_dir");
    write_file(store / "metadata.pkl", "old metadata");
    write_file(store / "data" / "close.npy", std::string(70000, 'c'));
    write_file(store / "data" / "deep" / "kept.npy", "kept");
    write_file(store / ".hidden", "hidden");
    fs::create_symlink("data/close.npy", store / "close_link");
    fs::permissions(store, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    before = snapshot_dir(store);
  }

  // A package of several members whose last member's data fails its CRC-32.
  void write_damaged_package() {
    write_zip(archive, {{"metadata.pkl", "new metadata"},
                        {"data/close.npy", std::string(50000, 'n'), true},
                        {"fresh.npy", "fresh"},
                        {"last.npy", "LAST-MEMBER-PAYLOAD"}});
    std::string bytes = read_file(archive);
    bytes[bytes.find("LAST-MEMBER-PAYLOAD")] = 'l';
    write_file(archive, bytes);
  }

  void expect_store_unchanged() {
    EXPECT_EQ(snapshot_dir(store), before);
    EXPECT_EQ(fs::status(store).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  }

  TempDir dir;
  fs::path store = dir / "root" / "store";
  fs::path archive = dir / "package.zip";
  DirSnapshot before;
};

TEST_F(InstallPackageTest, GoodPackageKeepsWhatItDoesNotReplaceAndLeavesNothingBeside) {
  write_zip(archive, {{"metadata.pkl", "new metadata"}, {"data/close.npy", "new close", true}, {"fresh/x.npy", "x"}});
  std::vector<std::pair<std::uint64_t, std::uint64_t>> steps;
  _install_package(archive, store, [&](std::uint64_t done, std::uint64_t total) { steps.emplace_back(done, total); });

  DirSnapshot expected = before;
  expected["metadata.pkl"] = "new metadata";
  expected["data/close.npy"] = "new close";
  expected["fresh"] = "<dir>";
  expected["fresh/x.npy"] = "x";
  EXPECT_EQ(snapshot_dir(store), expected);
  EXPECT_EQ(read_file(store / "close_link"), "new close") << "a carried-over link keeps pointing inside the store";
  EXPECT_EQ(fs::status(store).permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_EQ(fs::hard_link_count(store / "data" / "deep" / "kept.npy"), 1u) << "the old tree is gone";
  EXPECT_EQ(siblings(dir / "root"), std::vector<std::string>{"store"});
  EXPECT_EQ(steps, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 3}, {2, 3}, {3, 3}}));
}

TEST_F(InstallPackageTest, TheFilesTheReplacedStoresManifestListedAreRecordedForItsNextWrite) {
  // The store's manifest lists its data files and its metadata; .hidden and close_link are the user's own.
  write_file(store / "manifest.json", manifest_of({{"metadata.pkl", "old metadata"},
                                                   {"data/close.npy", std::string(70000, 'c')},
                                                   {"data/deep/kept.npy", "kept"}}));
  write_file(store / ".pending_files", "earlier.npy\n");
  write_zip(archive, {{"metadata.pkl", "new metadata"},
                      {"manifest.json", manifest_of({{"metadata.pkl", "new metadata"}, {"fresh.npy", "f"}})},
                      {"fresh.npy", "f"}});
  _install_package(archive, store);

  EXPECT_EQ(read_file(store / ".pending_files"), "earlier.npy\ndata/close.npy\ndata/deep/kept.npy\n");
  EXPECT_EQ(read_file(store / "data" / "deep" / "kept.npy"), "kept") << "the download itself keeps them";
  EXPECT_EQ(read_file(store / ".hidden"), "hidden");
  EXPECT_EQ(siblings(dir / "root"), std::vector<std::string>{"store"});
}

TEST_F(InstallPackageTest, AStoreWithoutAManifestHasNoFileRecorded) {
  write_zip(archive, {{"metadata.pkl", "new metadata"}, {"fresh.npy", "f"}});
  _install_package(archive, store);
  EXPECT_FALSE(fs::exists(store / ".pending_files"));
}

TEST_F(InstallPackageTest, DamagedLastMemberLeavesTheStoreByteForByte) {
  write_damaged_package();
  testing::expect_error<VelmoraError>([&] { _install_package(archive, store); }, DAMAGED);
  expect_store_unchanged();
  EXPECT_EQ(siblings(dir / "root"), std::vector<std::string>{"store"});
}

// What a refused package gives: the damaged-archive error, caused by the first file that disagrees with
// the package's manifest (`cause` is matched up to a "*" standing for the staging directory's path).
void expect_manifest_refusal(const std::exception_ptr& error, const std::string& cause) {
  testing::expect_kind<VelmoraError>(testing::nested_cause(error), [&](const VelmoraError& nested) {
    const std::string text = nested.what();
    const auto star = cause.find('*');
    if (star == std::string::npos) {
      EXPECT_EQ(text, cause);
    } else {
      EXPECT_TRUE(text.starts_with(cause.substr(0, star)) && text.ends_with(cause.substr(star + 1))) << text;
    }
  });
}

TEST_F(InstallPackageTest, PackageManifestIsCheckedBeforeTheSwap) {
  const std::string metadata = "new metadata";
  const std::string close = std::string(1000, 'z');
  const std::string mismatch = "store file ";
  struct Case {
    const char* label;
    std::string manifest;
    std::string cause;  // empty: accepted
  } cases[] = {
      {"a size differs", manifest_of({{"metadata.pkl", metadata}, {"data/close.npy", close + "!"}}),
       mismatch + "data/close.npy does not match the manifest: size 1000, expected 1001"},
      {"a member's bytes differ", manifest_of({{"metadata.pkl", "new metadatA"}, {"data/close.npy", close}}),
       mismatch + "metadata.pkl does not match the manifest: CRC-32 " + crc_of(metadata) + ", expected " +
           crc_of("new metadatA")},
      {"a listed file is missing", manifest_of({{"metadata.pkl", metadata}, {"data/absent.npy", ""}}),
       mismatch + "data/absent.npy does not match the manifest: cannot open *" +
           "/data/absent.npy: No such file or directory"},
      {"unreadable", "{not json", "the store manifest is missing or unreadable"},
      {"matching", manifest_of({{"metadata.pkl", metadata}, {"data/close.npy", close}}), ""},  // last: it changes the store
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    write_zip(archive, {{"metadata.pkl", metadata}, {"data/close.npy", close, true}, {"manifest.json", c.manifest}});
    if (c.cause.empty()) {
      _install_package(archive, store);
      EXPECT_EQ(read_file(store / "data" / "close.npy"), close);
      continue;
    }
    expect_manifest_refusal(testing::expect_error<VelmoraError>([&] { _install_package(archive, store); }, DAMAGED),
                            c.cause);
    expect_store_unchanged();
  }
}

TEST_F(InstallPackageTest, NestedPackageManifestIsCheckedInItsFolder) {
  write_zip(archive, {{"pkg/metadata.pkl", "m"}, {"pkg/manifest.json", manifest_of({{"metadata.pkl", "M"}})}});
  expect_manifest_refusal(testing::expect_error<VelmoraError>([&] { _install_package(archive, store); }, DAMAGED),
                          "store file metadata.pkl does not match the manifest: CRC-32 " + crc_of("m") +
                              ", expected " + crc_of("M"));
  expect_store_unchanged();
}

TEST_F(InstallPackageTest, AnotherWriterHoldingTheStoreIsRefusedAndNothingChanges) {
  write_zip(archive, {{"metadata.pkl", "new metadata"}});
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  if (child == 0) {
    StoreWriterLock lock(store);
    [[maybe_unused]] auto w = ::write(ready[1], "x", 1);
    char byte;
    [[maybe_unused]] auto r = ::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_THROW(_install_package(archive, store), StoreLockedError);
  [[maybe_unused]] auto w = ::write(release[1], "x", 1);
  ::waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
  expect_store_unchanged();
}

// A child process unpacks the package and is killed with SIGKILL right after the k-th member (k = total:
// after the last member, while the package is checked and synced, before the swap). The store must be
// exactly as before; the staging directory it leaves is removed by the next run, which then succeeds.
TEST_F(InstallPackageTest, KilledWhileUnpackingLeavesTheStoreByteForByte) {
  std::vector<ZipMember> members{{"metadata.pkl", "new metadata"}};
  for (int i = 0; i < 6; ++i) members.push_back({"data/part" + std::to_string(i) + ".npy", std::string(30000, 'a' + i), true});
  members.push_back({"data/close.npy", "replaced close"});
  write_zip(archive, members);
  const std::uint64_t total = members.size();

  for (std::uint64_t kill_after : {std::uint64_t{1}, total / 2, total - 1, total}) {
    SCOPED_TRACE("killed after member " + std::to_string(kill_after));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        _install_package(archive, store, [&](std::uint64_t done, std::uint64_t) {
          if (done == kill_after) ::raise(SIGKILL);
        });
      } catch (...) {
      }
      ::_exit(3);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child was not killed, status " << status;
    expect_store_unchanged();
    auto left = siblings(dir / "root");
    std::erase(left, ".store.lock");  // a killed holder's lock file stays; the kernel released its lock
    ASSERT_EQ(left.size(), 2u) << "a killed run leaves its staging directory";
    EXPECT_TRUE(left[0].starts_with(".store.staging-")) << left[0];
  }

  _install_package(archive, store);
  EXPECT_EQ(siblings(dir / "root"), std::vector<std::string>{"store"}) << "stale staging directories removed";
  EXPECT_EQ(read_file(store / "data" / "close.npy"), "replaced close");
  EXPECT_EQ(read_file(store / "data" / "deep" / "kept.npy"), "kept");
  EXPECT_EQ(read_file(store / "data" / "part5.npy"), std::string(30000, 'f'));
}

TEST_F(InstallPackageTest, StoreLeftAsideByAnInterruptedFallbackSwapIsRestoredFirst) {
  const fs::path aside = dir / "root" / ".store.previous-0123456789abcdef";
  fs::rename(store, aside);
  fs::create_directories(dir / "root" / ".store.staging-fedcba9876543210" / "half");
  write_zip(archive, {{"metadata.pkl", "new metadata"}});
  _install_package(archive, store);
  EXPECT_EQ(siblings(dir / "root"), std::vector<std::string>{"store"});
  EXPECT_EQ(read_file(store / "metadata.pkl"), "new metadata");
  EXPECT_EQ(read_file(store / "data" / "deep" / "kept.npy"), "kept");
}

TEST_F(InstallPackageTest, OtherStoresStagingNamesAreNotTouched) {
  for (const char* name : {".store2.staging-0123456789abcdef", ".store.staging-short", "store.staging-0123456789abcdef"}) {
    fs::create_directories(dir / "root" / name);
  }
  write_zip(archive, {{"metadata.pkl", "new metadata"}});
  _install_package(archive, store);
  EXPECT_EQ(siblings(dir / "root"), (std::vector<std::string>{".store.staging-short", ".store2.staging-0123456789abcdef",
                                                              "store", "store.staging-0123456789abcdef"}));
}

}  // namespace
}  // namespace velmora::backtest
