// The entry guard against every illegal entry path in the other ways it can be written: with a leading
// "./", doubled or trailing separators, "." and ".." components in between, as an absolute path, and
// through a link in the store reached by another spelling. Each case must be refused before anything is
// written. Backslashes are ordinary name characters here: names spelled with them are legal and must land
// inside the store under their literal name.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extract/extract_zip.h"
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
using testing::write_zip;

const std::string ILLEGAL = "回测基准数据包含非法路径条目: ";

// A store directory "pkg" beside "outside" and "pkg2", holding links of every kind:
//   lnk -> <abs>/outside   rel_lnk -> ../outside   up -> ..   inner -> sub   file_link -> <abs>/outside/target.bin
class PathGuardSpellingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "outside");
    fs::create_directories(dir / "pkg2");
  }

  void reset_store() {
    fs::remove_all(store);
    fs::create_directories(store / "sub");
    fs::create_symlink(dir / "outside", store / "lnk");
    fs::create_symlink("../outside", store / "rel_lnk");
    fs::create_symlink("..", store / "up");
    fs::create_symlink("sub", store / "inner");
    fs::create_symlink(dir / "outside" / "target.bin", store / "file_link");
  }

  TempDir dir;
  fs::path store = dir / "pkg";
  fs::path archive = dir / "package.pkg";
  const std::vector<std::string> untouched{"file_link", "inner", "lnk", "rel_lnk", "sub", "up"};
};

TEST_F(PathGuardSpellingsTest, EveryIllegalPathIsRefusedInEverySpelling) {
  const std::string abs_outside = (dir / "outside").string();
  struct Case {
    std::string family;
    std::vector<std::string> spellings;
  } families[] = {
      {"parent of the store",
       {"../evil.txt", "./../evil.txt", ".//../evil.txt", "..//evil.txt", "../evil.txt/", "../evil.txt//",
        "sub/../../evil.txt", "sub//..//..//evil.txt", "./sub/./../../evil.txt", "sub/.././../evil.txt",
        "inner/../../evil.txt", "../", "..", "./..", "sub/../.."}},
      {"absolute path",
       {"/etc/passwd", "//etc/passwd", "///etc/passwd", "/./etc/passwd", "/etc//passwd", "/etc/./passwd",
        "/etc/passwd/", "/../etc/passwd", abs_outside + "/x", abs_outside + "//x", abs_outside + "/./x/", "/"}},
      {"sibling whose name extends the store's",
       {"../pkg2/x", "./../pkg2/x", "..//pkg2//x", "../pkg2/x/", "sub/../../pkg2/x", "../pkg2/./x",
        "up/pkg2/x", "./up/pkg2/x", "up//pkg2/x", (dir / "pkg2").string() + "/x"}},
      {"through the absolute link to the outside",
       {"lnk/x", "./lnk/x", "lnk//x", "lnk/./x", "lnk/x/", "lnk/", "lnk", "lnk/sub/x", ".//lnk//x",
        "sub/../lnk/x", "inner/../lnk/x", "up/pkg/lnk/x", "./up/./pkg/lnk/x"}},
      {"through the relative link to the outside",
       {"rel_lnk/x", "./rel_lnk/x", "rel_lnk//x", "rel_lnk/x/", "rel_lnk/", "sub/../rel_lnk/x", "up/pkg/rel_lnk/x"}},
      {"through the link to the parent",
       {"up/x", "./up/x", "up//x", "up/x/", "up/", "up", "inner/../up/x", "up/outside/x", "up/pkg/up/x"}},
      {"written through a link although the name resolves inside",
       {"lnk/../pkg/x", "./lnk/../pkg/x", "lnk//..//pkg//x", "rel_lnk/../pkg/x", "lnk/../pkg/x/"}},
      {"the dangling link to a file outside",
       {"file_link", "./file_link", ".//file_link", "sub/../file_link", "inner/../file_link", "up/pkg/file_link"}},
      {"a file entry that names the store itself and nothing below it",
       {".", "./.", ".//.", "././."}},
  };
  for (const auto& family : families) {
    for (const auto& member : family.spellings) {
      SCOPED_TRACE(family.family + ": " + member);
      reset_store();
      write_zip(archive, {{"first.bin", "data"}, {"dir/", ""}, {member, "evil"}});
      expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, ILLEGAL + member);
      EXPECT_EQ(tree(store), untouched) << "nothing may be written before the refusal";
      EXPECT_TRUE(fs::is_empty(dir / "outside"));
      EXPECT_TRUE(fs::is_empty(dir / "pkg2"));
    }
  }
}

TEST_F(PathGuardSpellingsTest, LegalSpellingsLandInsideTheStore) {
  struct Case {
    std::string member;
    std::string lands_at;  // relative to the store
  } cases[] = {
      {"./a.bin", "a.bin"},
      {".//a.bin", "a.bin"},
      {"sub//a.bin", "sub/a.bin"},
      {"sub/./a.bin", "sub/a.bin"},
      {"x/../a.bin", "x/a.bin"},                 // ".." is dropped, not applied, when writing
      {"inner/a.bin", "sub/a.bin"},               // a link that stays inside
      {"up/pkg/a.bin", "a.bin"},                  // out through the parent link and back in
      {"..\\evil.txt", "..\\evil.txt"},           // backslashes are part of the name
      {"a\\..\\..\\evil.txt", "a\\..\\..\\evil.txt"},
      {"\\etc\\passwd", "\\etc\\passwd"},
      {"..\\", "..\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member);
    reset_store();
    write_zip(archive, {{c.member, "content"}});
    _extract_zip(archive, store);
    EXPECT_EQ(read_file(store / c.lands_at), "content");
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
    EXPECT_TRUE(fs::is_empty(dir / "pkg2"));
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(dir.path())) top.push_back(entry.path().filename().string());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"outside", "package.pkg", "pkg", "pkg2"}));
  }
}

}  // namespace
}  // namespace velmora::backtest
