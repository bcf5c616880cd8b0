// Large store files go to disk by direct I/O, gathered in block-aligned pieces: every byte and checksum
// must come out as the page-cache path writes them, whatever the file's size against the pieces and blocks.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store.h"

namespace velmora::backtest {
namespace {

using testing::run_python;
using testing::sample_payload;
using testing::TempDir;

constexpr long TMPFS_MAGIC_NUMBER = 0x01021994;

// Whether files in `dir` can be written by direct I/O and then stay out of memory: a file system that
// refuses direct I/O, or one whose files live in memory, has nothing to show.
bool direct_io_bypasses_memory(const std::filesystem::path& dir) {
  struct statfs info {};
  if (::statfs(dir.c_str(), &info) != 0 || info.f_type == TMPFS_MAGIC_NUMBER) return false;
  auto probe = dir / "probe";
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  int flags = ::fcntl(fd, F_GETFL);
  bool direct = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
  ::close(fd);
  ::unlink(probe.c_str());
  return direct;
}

// The share of a file's pages held in the page cache.
double resident_share(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  struct stat info {};
  ::fstat(fd, &info);
  auto size = static_cast<std::size_t>(info.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  EXPECT_NE(mapped, MAP_FAILED);
  std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((size + page - 1) / page);
  ::mincore(mapped, size, resident.data());
  ::munmap(mapped, size);
  std::size_t count = 0;
  for (unsigned char flag : resident) count += flag & 1;
  return static_cast<double>(count) / static_cast<double>(resident.size());
}

// Checks every file the manifest lists with zlib and numpy alone: its size, its CRC-32, and, for arrays,
// that the shape in the metadata is the file's. Prints "<file> <size>" per file.
const char* CHECK_FILES = R"PY(
import json, os, pickle, sys, zlib
import numpy as np
d = sys.argv[1]
md = pickle.load(open(os.path.join(d, "metadata.pkl"), "rb"))
for e in md["datasets"].values():
    assert list(np.load(os.path.join(d, e["file"]), mmap_mode="r").shape) == e["shape"], e["file"]
for f in json.load(open(os.path.join(d, "manifest.json")))["files"]:
    data = open(os.path.join(d, f["path"]), "rb").read()
    assert len(data) == f["size"] and "%08x" % zlib.crc32(data) == f["crc32"], f["path"]
    print(f["path"].split(".")[0], len(data))
)PY";

// The sizes that the Python check printed, by file stem.
std::map<std::string, std::size_t> file_sizes(const std::string& output) {
  std::map<std::string, std::size_t> sizes;
  std::istringstream lines(output);
  std::string stem;
  std::size_t size = 0;
  while (lines >> stem >> size) sizes[stem] = size;
  return sizes;
}

struct Shape {
  std::size_t dates;
  std::size_t instruments;
  const char* why;
};

TEST(StoreDirectWriteTest, LargeFilesComeOutWholeAndLeaveThePageCacheAlone) {
  // Float files (a 128-byte preamble before 8-byte cells) and bool files (1-byte cells) of sizes around the
  // 1 MiB threshold, the 8 MiB pieces and the 4 KiB blocks.
  const std::vector<Shape> shapes = {
      {16, 65535, "float files of exactly one 8 MiB piece"},
      {1100, 1000, "one whole piece and a tail that ends inside a block"},
      {8, 16384, "float files of 1 MiB and 128 bytes, bool files below the threshold"},
      {1050, 1000, "bool files just above the threshold"},
      {512, 512, "float files of 2 MiB and 128 bytes: a tail of 128 bytes"},
  };
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shape.why);
    TempDir dir;
    BinaryPreparedDataStore store(dir.path(), std::vector<std::string>{});
    Payload payload = sample_payload(shape.dates, shape.instruments, 3, {});
    store.write(payload);

    const std::size_t cells = shape.dates * shape.instruments;
    if (direct_io_bypasses_memory(dir.path())) {
      EXPECT_LT(resident_share(dir / store.load_metadata()["datasets"]["close_price"]["file"].get<std::string>()), 0.5);
    }
    for (bool mmap : {true, false}) testing::expect_same_payload(payload, *store.load(std::nullopt, std::nullopt, std::nullopt, mmap));
    EXPECT_NO_THROW(store.verify());

    std::string output;
    ASSERT_EQ(run_python(CHECK_FILES, {dir.path().string()}, output), 0) << output;
    auto sizes = file_sizes(output);
    EXPECT_EQ(sizes["close_price"], 128 + cells * 8);
    EXPECT_EQ(sizes["can_buy_stock"], 128 + cells);
  }
}

TEST(StoreDirectWriteTest, AnUpdateOverALargeStoreRewritesItsFilesExactly) {
  // A second write over a store of large files replaces them through the same path; the old files go.
  TempDir dir;
  BinaryPreparedDataStore store(dir.path(), std::vector<std::string>{});
  store.write(sample_payload(700, 400, 1, {}));
  Payload second = sample_payload(730, 400, 2, {});
  store.write(second);
  testing::expect_same_payload(second, *store.load(std::nullopt, std::nullopt, std::nullopt, false));
  EXPECT_NO_THROW(store.verify());
  std::size_t npy_files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) npy_files += entry.path().extension() == ".npy";
  EXPECT_EQ(npy_files, store.load_metadata()["datasets"].size() + 3);  // + the three benchmark series
}

}  // namespace
}  // namespace velmora::backtest
