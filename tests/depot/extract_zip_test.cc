#include "extract/extract_zip.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <zip.h>

#include "support/dir_snapshot.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "support/zip_writer.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::read_file;
using testing::TempDir;
using testing::tree;
using testing::write_file;
using testing::write_zip;
using testing::ZipMember;

const std::string ILLEGAL = "回测基准数据包含非法路径条目: ";
const std::string DAMAGED = "回测基准数据包损坏,无法解压";

// The libzip error code chained under a damaged-archive error.
int zip_cause(const std::exception_ptr& error) {
  int code = -1;
  testing::expect_kind<std::system_error>(testing::nested_cause(error), [&](const std::system_error& cause) {
    EXPECT_STREQ(cause.code().category().name(), "libzip");
    code = cause.code().value();
  });
  return code;
}

class ExtractZipTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path archive = dir / "package.pkg";
  fs::path store = dir / "pkg";

  void SetUp() override { fs::create_directories(store); }
};

TEST_F(ExtractZipTest, WritesStoredDeflatedAndNestedMembers) {
  const std::string big(300000, 'x');
  write_zip(archive, {{"metadata.pkl", "meta", false},
                      {"data/", ""},
                      {"data/close.bin", big, true},
                      {"deep/er/file.bin", "stored", false},
                      {"empty.bin", "", true},
                      {std::string(250, 'n'), "longest name", true}});
  _extract_zip(archive, store);
  EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
  EXPECT_EQ(read_file(store / "data/close.bin"), big);
  EXPECT_EQ(read_file(store / "deep/er/file.bin"), "stored");
  EXPECT_EQ(read_file(store / "empty.bin"), "");
  EXPECT_EQ(read_file(store / std::string(250, 'n')), "longest name");
  EXPECT_EQ(tree(store), (std::vector<std::string>{"data", "data/close.bin", "deep", "deep/er", "deep/er/file.bin",
                                                  "empty.bin", "metadata.pkl", std::string(250, 'n')}));
}

TEST_F(ExtractZipTest, ReplacesFilesOfTheSameNameAndKeepsOthers) {
  write_file(store / "metadata.pkl", "old metadata");
  write_file(store / "stale.bin", "from an earlier package");
  write_zip(archive, {{"metadata.pkl", "new metadata"}});
  _extract_zip(archive, store);
  EXPECT_EQ(read_file(store / "metadata.pkl"), "new metadata");
  EXPECT_EQ(read_file(store / "stale.bin"), "from an earlier package");
}

TEST_F(ExtractZipTest, LegalOddNamesLandInsideTheStore) {
  write_zip(archive, {{"./", ""}, {"sub/../file.bin", "a"}, {"x//y/./z.bin", "c"}});
  _extract_zip(archive, store);
  EXPECT_EQ(read_file(store / "sub/file.bin"), "a");
  EXPECT_EQ(read_file(store / "x/y/z.bin"), "c");
  EXPECT_EQ(tree(store), (std::vector<std::string>{"sub", "sub/file.bin", "x", "x/y", "x/y/z.bin"}));
}

TEST_F(ExtractZipTest, LinkInsideTheStoreToAnotherPlaceInsideIsLegal) {
  fs::create_directories(store / "real");
  fs::create_directory_symlink("real", store / "alias");
  write_zip(archive, {{"alias/x.bin", "through the link"}});
  _extract_zip(archive, store);
  EXPECT_EQ(read_file(store / "real/x.bin"), "through the link");
}

TEST_F(ExtractZipTest, SymbolicLinkEntryBecomesPlainFileWithTheLinkText) {
  write_zip(archive, {{"link", "/etc/passwd", false, true}, {"dir/rel", "../outside", true, true}});
  _extract_zip(archive, store);
  EXPECT_FALSE(fs::is_symlink(store / "link"));
  EXPECT_EQ(read_file(store / "link"), "/etc/passwd");
  EXPECT_FALSE(fs::is_symlink(store / "dir/rel"));
  EXPECT_EQ(read_file(store / "dir/rel"), "../outside");
}

TEST_F(ExtractZipTest, IllegalEntryAnywhereStopsEverythingBeforeTheFirstByte) {
  fs::create_directories(dir / "outside");
  fs::create_directories(dir / "pkg2");
  struct Case {
    std::string member;
  } cases[] = {
      {"../evil.txt"},
      {"/etc/passwd"},
      {"lnk/x"},           // through a link in the store that points outside
      {"../pkg2/x"},       // the root's name is a text prefix of pkg2
      {"lnk/../pkg/x"},    // resolves inside, but would be written through the link
      {"file_link"},       // a dangling link in the store to a file outside
      {"."},               // a file entry that names the root itself
      {"a/../../pkg2/y/"}, // a directory entry outside
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member);
    fs::remove_all(store);
    fs::create_directories(store);
    fs::create_symlink(dir / "outside", store / "lnk");
    fs::create_symlink(dir / "outside" / "target.bin", store / "file_link");
    write_zip(archive, {{"first.bin", "data"}, {"dir/", ""}, {c.member, "evil"}});
    expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, ILLEGAL + c.member);
    EXPECT_EQ(tree(store), (std::vector<std::string>{"file_link", "lnk"}));
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
    EXPECT_TRUE(fs::is_empty(dir / "pkg2"));
  }
}

TEST_F(ExtractZipTest, NotAZipArchiveIsDamaged) {
  struct Case {
    const char* label;
    std::string bytes;
  } cases[] = {
      {"html error page", "<html><body>503 Service Unavailable</body></html>"},
      {"empty file", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(archive, c.bytes);
    const auto error = expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, DAMAGED);
    EXPECT_EQ(zip_cause(error), ZIP_ER_NOZIP);
    EXPECT_TRUE(fs::is_empty(store));
  }
}

TEST_F(ExtractZipTest, CrcMismatchStopsThereAndNeverLeavesTheDamagedFile) {
  write_file(store / "second.bin", "previous contents");
  write_zip(archive, {{"first.bin", "fine"}, {"second.bin", "DAMAGE-ME-PAYLOAD"}, {"third.bin", "never"}});
  std::string bytes = read_file(archive);
  const auto at = bytes.find("DAMAGE-ME-PAYLOAD");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'd';
  write_file(archive, bytes);

  const auto error = expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, DAMAGED);
  EXPECT_EQ(zip_cause(error), ZIP_ER_CRC);
  EXPECT_EQ(read_file(store / "first.bin"), "fine");
  EXPECT_EQ(read_file(store / "second.bin"), "previous contents");
  EXPECT_EQ(tree(store), (std::vector<std::string>{"first.bin", "second.bin"}));
}

TEST_F(ExtractZipTest, BadLocalHeaderIsFoundBeforeAnythingIsWritten) {
  write_zip(archive, {{"first.bin", "fine"}, {"second.bin", "data"}});
  std::string bytes = read_file(archive);
  const auto second = bytes.find("PK\x03\x04", 1);
  ASSERT_NE(second, std::string::npos);
  bytes[second + 2] = 'X';
  write_file(archive, bytes);
  const auto error = expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, DAMAGED);
  EXPECT_EQ(zip_cause(error), ZIP_ER_INCONS);  // the local header disagrees with the central directory
  EXPECT_TRUE(fs::is_empty(store));
}

TEST_F(ExtractZipTest, TruncatedArchiveIsDamaged) {
  std::string payload(200000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 7919) % 251);
  write_zip(archive, {{"big.bin", payload, true}});
  const std::string bytes = read_file(archive);
  write_file(archive, bytes.substr(0, bytes.size() / 2));
  expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, DAMAGED);
}

TEST_F(ExtractZipTest, MissingArchivePassesThroughAsItsOwnError) {
  EXPECT_THROW(_extract_zip(dir / "absent.pkg", store), fs::filesystem_error);
}

}  // namespace
}  // namespace velmora::backtest
