// The download workflow: a package packed inside one folder is lifted up and the folder named; a failed
// download leaves no directory or lock file it created; another writer of the store is named.

#include "velmora/backtest/store_download.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/dir_snapshot.h"
#include "support/expect_error.h"
#include "support/lock_holder.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"
#include "support/zip_writer.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::ZipMember;

class StoreDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.http().Get(BENCHMARK_DATA_PATH, [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(meta_json, "application/json");
    });
    server.http().Get("/package.zip", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(package, "application/zip");
    });
    server.start();
    http = HttpClient(server.url(""), "secret");
    meta_json = R"({"download_url": ")" + server.url("/package.zip") + R"("})";
  }

  void set_package(const std::vector<ZipMember>& members) {
    testing::write_zip(dir / "built.zip", members);
    package = read_file(dir / "built.zip");
  }

  TempDir dir;
  fs::path store = dir / "root" / "enviroment_data";
  testing::LoopbackServer server;
  HttpClient http{""};
  std::string meta_json;
  std::string package;
};

TEST_F(StoreDownloadTest, APackageInsideOneFolderIsLiftedAndTheFolderNamed) {
  struct Case {
    const char* what;
    std::vector<ZipMember> members;
    std::optional<std::string> lifted;
    const char* at_top;  // a file the store holds at its top afterwards
  };
  const Case cases[] = {
      {"one folder", {{"pkg/metadata.pkl", "meta"}, {"pkg/.hidden", "h"}, {"pkg/a.npy", "a"}}, "pkg", ".hidden"},
      {"flat", {{"metadata.pkl", "meta"}, {"sub/a.npy", "a"}}, std::nullopt, "sub/a.npy"},
      {"one folder beside the metadata", {{"metadata.pkl", "meta"}, {"pkg/a.npy", "a"}}, std::nullopt, "pkg/a.npy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir / "root");
    set_package(c.members);
    const StoreDownload fetched = download_into_store(http, store);
    EXPECT_EQ(fetched.store, store);
    EXPECT_EQ(fetched.lifted, c.lifted);
    EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
    EXPECT_TRUE(fs::exists(store / c.at_top));
    EXPECT_EQ(fs::exists(store / "pkg"), !c.lifted && std::string(c.at_top) == "pkg/a.npy");
  }
}

TEST_F(StoreDownloadTest, AFailedDownloadLeavesNothingItCreated) {
  meta_json = R"({"download_url": "  "})";
  const fs::path deep = dir / "new" / "enviroment_data";
  testing::expect_error<VelmoraError>([&] { download_into_store(http, deep); },
                                      "服务端未返回有效的回测基准数据下载地址");
  EXPECT_FALSE(fs::exists(dir / "new"));

  meta_json = R"({"download_url": ")" + server.url("/package.zip") + R"("})";
  package = "not a zip archive";
  EXPECT_THROW(download_into_store(http, deep), VelmoraError);
  EXPECT_FALSE(fs::exists(dir / "new"));
}

TEST_F(StoreDownloadTest, AnotherWriterIsNamedOrWaitedFor) {
  set_package({{"metadata.pkl", "meta"}});
  fs::create_directories(store);
  testing::HoldingChild holder(store, dir / "released");
  const auto before = testing::snapshot_dir(dir / "root");  // the holder's lock file included
  try {
    download_into_store(http, store);
    ADD_FAILURE() << "the store was written while another process held it";
  } catch (const StoreLockedError& error) {
    EXPECT_EQ(error.pid(), holder.pid());
  }
  EXPECT_EQ(testing::snapshot_dir(dir / "root"), before);

  StoreDownloadOptions options;
  options.lock.wait = LockWait::yes;
  pid_t told = 0;
  options.lock.waiting = [&](pid_t pid) {
    told = pid;
    holder.release();
  };
  download_into_store(http, store, options);
  EXPECT_EQ(told, holder.pid());
  EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
}

}  // namespace
}  // namespace velmora::backtest
