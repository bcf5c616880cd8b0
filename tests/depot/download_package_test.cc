#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "download/package_files.h"
#include "support/dir_snapshot.h"
#include "support/expect_error.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"
#include "support/zip_writer.h"
#include "velmora/backtest/depot.h"
#include "velmora/errors.h"
#include "velmora/http_client.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using testing::ZipMember;

const std::string NO_URL = "服务端未返回有效的回测基准数据下载地址";
const std::string UNSUPPORTED = "不支持的回测基准数据包格式: ";

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Sets an environment variable for the life of the object and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Changes the working directory for the life of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~ScopedCwd() { fs::current_path(old_); }

 private:
  fs::path old_;
};

class DownloadPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.http().Get(BENCHMARK_DATA_PATH, [this](const httplib::Request& req, httplib::Response& res) {
      authorization = req.get_header_value("Authorization");
      res.status = meta_status;
      res.set_content(meta_json, "application/json");
    });
    server.http().Get("/package.zip", [this](const httplib::Request&, httplib::Response& res) {
      res.status = package_status;
      res.set_content(package, "application/zip");
    });
    server.start();
    http = HttpClient(server.url(""), "secret");
    set_package({{"metadata.pkl", "meta"}, {"data/close.bin", std::string(5000, 'c'), true}});
    meta_json = R"({"download_url": " )" + server.url("/package.zip") + R"( ", "content_type": "application/zip"})";
  }

  void set_package(const std::vector<ZipMember>& members) {
    testing::write_zip(dir / "built.zip", members);
    package = read_file(dir / "built.zip");
  }

  fs::path download() { return download_benchmark_package(http, store); }

  TempDir dir;
  fs::path store = dir / "root" / "enviroment_data";
  fs::path temp = dir / "root" / "temp";
  testing::LoopbackServer server;
  HttpClient http{""};  // aimed at the server once it has a port
  std::string meta_json;
  int meta_status = 200;
  std::string package;
  int package_status = 200;
  std::string authorization;
};

TEST_F(DownloadPackageTest, DownloadsExtractsAndDeletesItsTemporaryFile) {
  std::vector<std::string> temp_files_seen;
  const fs::path result =
      download_benchmark_package(http, store, [&](std::uint64_t received, std::optional<std::uint64_t> total) {
        EXPECT_EQ(received, package.size());
        EXPECT_EQ(total, std::optional<std::uint64_t>(package.size()));
        for (const auto& entry : fs::directory_iterator(temp)) {
          temp_files_seen.push_back(entry.path().filename().string());
          EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
        }
      });
  EXPECT_EQ(result, store);
  EXPECT_EQ(authorization, "Bearer secret");
  EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
  EXPECT_EQ(read_file(store / "data/close.bin"), std::string(5000, 'c'));
  ASSERT_EQ(temp_files_seen.size(), 1u);
  EXPECT_TRUE(temp_files_seen[0].starts_with("download_") && temp_files_seen[0].ends_with(".pkg") &&
              temp_files_seen[0].size() > 13)
      << temp_files_seen[0];
  EXPECT_TRUE(fs::is_empty(temp));
}

TEST_F(DownloadPackageTest, DeletesStaleArchivesOfKilledRunsFirst) {
  fs::create_directories(temp);
  for (const char* name : {"download_x1.pkg", "download_.pkg", "other.pkg", "download_x1.zip", "Download_x1.pkg"}) {
    write_file(temp / name, "left behind");
  }
  download();
  EXPECT_EQ(names_in(temp), (std::vector<std::string>{"Download_x1.pkg", "download_x1.zip", "other.pkg"}));
}

TEST_F(DownloadPackageTest, ArchiveOfADownloadStillRunningIsNotStale) {
  fs::create_directories(temp);
  write_file(temp / "download_running.pkg", "being written");
  const int fd = ::open((temp / "download_running.pkg").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  download();
  EXPECT_EQ(names_in(temp), std::vector<std::string>{"download_running.pkg"});
  ::close(fd);
  download();
  EXPECT_TRUE(fs::is_empty(temp));
}

// Two stores under one parent share the temporary folder: a download that starts while another is still
// receiving must leave the other's archive alone in its clean-up.
TEST_F(DownloadPackageTest, DownloadOfAnotherStoreWhileOneIsReceivingLeavesItsArchiveAlone) {
  const fs::path other = dir / "root" / "other_store";
  bool started = false;
  download_benchmark_package(http, store, [&](std::uint64_t, std::optional<std::uint64_t>) {
    if (started) return;
    started = true;
    ASSERT_EQ(names_in(temp).size(), 1u) << "this download's archive is in the shared folder";
    download_benchmark_package(http, other);
  });
  ASSERT_TRUE(started);
  EXPECT_EQ(read_file(store / "data/close.bin"), std::string(5000, 'c'));
  EXPECT_EQ(read_file(other / "data/close.bin"), std::string(5000, 'c'));
  EXPECT_TRUE(fs::is_empty(temp));
}

// A store path that is a symbolic link to a directory elsewhere: the package lands in the target, and the
// link stays a link (nothing is staged beside it).
TEST_F(DownloadPackageTest, StorePathThatIsALinkFillsItsTargetAndStaysALink) {
  const fs::path target = dir / "elsewhere" / "real_store";
  fs::create_directories(target);
  write_file(target / "mine.txt", "kept");
  fs::create_directories(store.parent_path());
  fs::create_symlink(target, store);
  EXPECT_EQ(download(), store);
  EXPECT_TRUE(fs::is_symlink(store));
  EXPECT_EQ(fs::read_symlink(store), target);
  EXPECT_EQ(read_file(target / "metadata.pkl"), "meta");
  EXPECT_EQ(read_file(target / "mine.txt"), "kept");
  EXPECT_EQ(names_in(dir / "elsewhere"), std::vector<std::string>{"real_store"});
  EXPECT_EQ(names_in(dir / "root"), (std::vector<std::string>{"enviroment_data", "temp"}));
}

TEST_F(DownloadPackageTest, DamagedPackageOverAGoodStoreLeavesItByteForByte) {
  download();
  fs::create_directories(store / "mine");
  write_file(store / "mine" / "notes.txt", "kept");
  const auto before = testing::snapshot_dir(store);
  set_package({{"metadata.pkl", "replacement"}, {"data/close.bin", std::string(6000, 'n'), true},
               {"data/last.bin", "LAST-MEMBER-PAYLOAD"}});
  const auto at = package.find("LAST-MEMBER-PAYLOAD");
  ASSERT_NE(at, std::string::npos);
  package[at] = 'l';
  expect_error<VelmoraError>([&] { download(); }, "回测基准数据包损坏,无法解压");
  EXPECT_EQ(testing::snapshot_dir(store), before);
  EXPECT_TRUE(fs::is_empty(temp));
  EXPECT_EQ(names_in(dir / "root"), (std::vector<std::string>{"enviroment_data", "temp"}));
}

TEST_F(DownloadPackageTest, SecondPackageKeepsFilesItDoesNotReplace) {
  download();
  set_package({{"metadata.pkl", "second"}, {"extra.bin", "extra"}});
  std::vector<std::uint64_t> unpacked;
  download_benchmark_package(http, store, {}, [&](std::uint64_t done, std::uint64_t total) {
    EXPECT_EQ(total, 2u);
    unpacked.push_back(done);
  });
  EXPECT_EQ(unpacked, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(read_file(store / "metadata.pkl"), "second");
  EXPECT_EQ(read_file(store / "extra.bin"), "extra");
  EXPECT_EQ(read_file(store / "data/close.bin"), std::string(5000, 'c'));
}

TEST_F(DownloadPackageTest, StaleCleanUpStopsAtAnEntryItCannotDelete) {
  fs::create_directories(temp / "download_dir.pkg");
  EXPECT_THROW(_cleanup_stale_temp(temp), fs::filesystem_error);
  EXPECT_THROW(download(), fs::filesystem_error);
  EXPECT_EQ(names_in(temp), (std::vector<std::string>{"download_dir.pkg"}));
  EXPECT_TRUE(fs::is_empty(store));
}

TEST_F(DownloadPackageTest, AnswerWithoutAddressCreatesNothing) {
  const std::string answers[] = {"", "null", "{}", R"({"download_url": "  \t "})", R"({"download_url": null})",
                                 R"({"content_type": "application/zip"})"};
  for (const auto& answer : answers) {
    SCOPED_TRACE(answer);
    meta_json = answer;
    expect_error<VelmoraError>([&] { download(); }, NO_URL);
    EXPECT_FALSE(fs::exists(dir / "root"));
  }
}

TEST_F(DownloadPackageTest, OnlyZipPackagesAreAccepted) {
  const std::string url = server.url("/package.zip");
  struct Case {
    std::string content_type_field;  // the JSON text after "download_url": ..., or empty for none
    std::optional<std::string> rejected_as;
  } cases[] = {
      {"", std::nullopt},
      {R"(, "content_type": "")", std::nullopt},
      {R"(, "content_type": "   ")", std::nullopt},
      {R"(, "content_type": null)", std::nullopt},
      {R"(, "content_type": "  application/zip ")", std::nullopt},
      {R"(, "content_type": "application/x-zip-compressed")", "application/x-zip-compressed"},
      {R"(, "content_type": " APPLICATION/ZIP ")", "APPLICATION/ZIP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content_type_field);
    fs::remove_all(dir / "root");
    meta_json = R"({"download_url": ")" + url + "\"" + c.content_type_field + "}";
    if (c.rejected_as) {
      expect_error<VelmoraError>([&] { download(); }, UNSUPPORTED + *c.rejected_as);
      EXPECT_FALSE(fs::exists(dir / "root"));
    } else {
      download();
      EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
    }
  }
}

TEST_F(DownloadPackageTest, ClientErrorsPassThroughBeforeAnythingIsWritten) {
  meta_status = 503;
  expect_error<HttpError>([&] { download(); },
                                             "GET " + server.url(BENCHMARK_DATA_PATH) + " answered HTTP 503");
  EXPECT_FALSE(fs::exists(dir / "root"));
}

TEST_F(DownloadPackageTest, FailuresStillDeleteTheTemporaryFile) {
  struct Case {
    const char* label;
    int status;
    std::vector<ZipMember> members;
    std::string message;
  } cases[] = {
      {"HTTP failure", 404, {{"metadata.pkl", "meta"}}, "下载回测基准数据失败: HTTP 404"},
      {"illegal entry", 200, {{"metadata.pkl", "meta"}, {"../escape.bin", "x"}},
       "回测基准数据包含非法路径条目: ../escape.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    package_status = c.status;
    set_package(c.members);
    expect_error<VelmoraError>([&] { download(); }, c.message);
    EXPECT_TRUE(fs::is_empty(temp));
    EXPECT_TRUE(fs::is_directory(store));
    EXPECT_TRUE(fs::is_empty(store));
    EXPECT_FALSE(fs::exists(dir / "root" / "escape.bin"));
  }
  package_status = 200;
  package = "<html>gateway error</html>";
  expect_error<VelmoraError>([&] { download(); }, "回测基准数据包损坏,无法解压");
  EXPECT_TRUE(fs::is_empty(temp));
}

TEST_F(DownloadPackageTest, NestedPackageIsNotFlattened) {
  set_package({{"enviroment_data/metadata.pkl", "meta"}});
  download();
  EXPECT_EQ(read_file(store / "enviroment_data" / "metadata.pkl"), "meta");
  flatten_single_subdir(store);
  EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
}

TEST_F(DownloadPackageTest, StorePathThatIsAFileIsAFileSystemError) {
  fs::create_directories(store.parent_path());
  write_file(store, "not a directory");
  EXPECT_THROW(download(), fs::filesystem_error);
}

TEST_F(DownloadPackageTest, HomeRelativeStoreIsExpandedNotMadeAbsolute) {
  const ScopedEnv home("HOME", (dir / "home").string());
  EXPECT_EQ(download_benchmark_package(http, "~/data/pkg"), dir / "home" / "data" / "pkg");
  EXPECT_EQ(read_file(dir / "home" / "data" / "pkg" / "metadata.pkl"), "meta");
  EXPECT_TRUE(fs::is_directory(dir / "home" / "data" / "temp"));

  const ScopedCwd cwd(dir.path());
  EXPECT_EQ(download_benchmark_package(http, "pkg"), fs::path("pkg"));
  EXPECT_EQ(read_file(dir / "pkg" / "metadata.pkl"), "meta");
  EXPECT_TRUE(fs::is_directory(dir / "temp"));
}

TEST(ExpandUserTest, ExpandsOnlyALeadingTilde) {
  const TempDir dir;
  const ScopedEnv home("HOME", (dir / "home/").string());
  const std::string h = (dir / "home").string();
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"~", h},
      {"~/data/pkg", h + "/data/pkg"},
      {"~/data/pkg/", h + "/data/pkg"},
      {"~root/pkg", "/root/pkg"},
      {"~no_such_user_velmora/pkg", "~no_such_user_velmora/pkg"},
      {"data/~/pkg", "data/~/pkg"},
      {"/abs/pkg", "/abs/pkg"},
  };
  for (const auto& c : cases) EXPECT_EQ(expand_user(c.in), fs::path(c.out)) << c.in;
}

}  // namespace
}  // namespace velmora::backtest
