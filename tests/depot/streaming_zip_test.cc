// Archives from real zip writers that stream (data descriptors after the data, local headers with sizes
// and CRC-32 zero or partly filled) and ZIP64 archives unpack exactly; archives damaged in any of the ways
// a transfer or a broken writer damages them are still refused as damaged.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extract/extract_zip.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::string DAMAGED = "回测基准数据包损坏,无法解压";
const std::string ILLEGAL = "回测基准数据包含非法路径条目: ";

// Python's zipfile writing to a stream it cannot seek in: every member is followed by a data descriptor
// and its local header holds zero sizes and CRC-32 ("force_zip64" adds a ZIP64 extra to the local header
// of the last member, as for a member whose size is unknown in advance). argv: archive, source dir, names.
const char* PYTHON_STREAMING = R"PY(
import os, sys, zipfile
class Unseekable:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
archive, source, names = sys.argv[1], sys.argv[2], sys.argv[3:]
with open(archive, "wb") as out:
    with zipfile.ZipFile(Unseekable(out), "w", compression=zipfile.ZIP_DEFLATED) as z:
        for i, name in enumerate(names):
            data = open(os.path.join(source, name), "rb").read()
            with z.open(name, "w", force_zip64=(i == len(names) - 1)) as member:
                for at in range(0, len(data), 4096):
                    member.write(data[at:at + 4096])
z = zipfile.ZipFile(archive)
assert all(info.flag_bits & 0x08 for info in z.infolist()), "no data descriptors"
assert z.testzip() is None
)PY";

// Python's zipfile with ZIP64 records throughout: ZIP64 extras for every member, local header offsets and
// sizes held only there (the 32-bit fields say 0xffffffff), and the ZIP64 end of central directory record
// and locator. zipfile writes them where sizes exceed its limits, so the limits are lowered.
const char* PYTHON_ZIP64 = R"PY(
import os, sys, zipfile
zipfile.ZIP64_LIMIT = 1 << 10
zipfile.ZIP_FILECOUNT_LIMIT = 1
archive, source, names = sys.argv[1], sys.argv[2], sys.argv[3:]
with zipfile.ZipFile(archive, "w", compression=zipfile.ZIP_DEFLATED, allowZip64=True) as z:
    for name in names:
        with z.open(name, "w", force_zip64=True) as member:
            member.write(open(os.path.join(source, name), "rb").read())
assert open(archive, "rb").read().find(b"PK\x06\x06") >= 0, "no ZIP64 end record"
)PY";

// Python's zipfile with every member stored: the second member starts past the lowered limit and both its
// sizes exceed it, so its ZIP64 extra field holds both sizes and then the offset.
const char* PYTHON_ZIP64_STORED = R"PY(
import os, sys, zipfile
zipfile.ZIP64_LIMIT = 1 << 10
archive, source, names = sys.argv[1], sys.argv[2], sys.argv[3:]
with zipfile.ZipFile(archive, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as z:
    for name in names:
        z.write(os.path.join(source, name), name)
limit = zipfile.ZIP64_LIMIT
assert any(i.header_offset > limit and i.file_size > limit and i.compress_size > limit for i in zipfile.ZipFile(archive).infolist())
)PY";

int shell(const std::string& command) { return std::system(command.c_str()); }

// Built by appending: GCC 12 misreports an overlap in the concatenation at -O3 (-Wrestrict).
std::string quoted(const fs::path& path) {
  std::string text("'");
  text += path.string();
  text += "'";
  return text;
}

class StreamingZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(source / "data");
    std::string noise(300000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    write_file(source / "metadata.pkl", std::string(2000, 'm') + "end");
    write_file(source / "data" / "close.npy", noise);
    write_file(source / "empty.bin", "");
    fs::create_directories(store);
  }

  // Runs `script` with the archive, the source directory and the member names.
  void python_archive(const char* script) {
    std::vector<std::string> args{archive.string(), source.string()};
    args.insert(args.end(), names.begin(), names.end());
    std::string output;
    ASSERT_EQ(testing::run_python(script, args, output), 0) << output;
  }

  void expect_members_unpacked() {
    for (const auto& name : names) EXPECT_EQ(read_file(store / name), read_file(source / name)) << name;
  }

  TempDir dir;
  fs::path source = dir / "source";
  fs::path archive = dir / "package.zip";
  fs::path store = dir / "store";
  std::vector<std::string> names{"metadata.pkl", "data/close.npy", "empty.bin"};
};

TEST_F(StreamingZipTest, ArchivesOfRealStreamingAndZip64WritersUnpack) {
  struct Writer {
    const char* label;
    std::function<void()> write;
  } writers[] = {
      {"python zipfile to an unseekable stream", [&] { python_archive(PYTHON_STREAMING); }},
      {"python zipfile ZIP64", [&] { python_archive(PYTHON_ZIP64); }},
      {"python zipfile ZIP64 stored", [&] { python_archive(PYTHON_ZIP64_STORED); }},
      {"zip -fd (data descriptors)",
       [&] { ASSERT_EQ(shell("cd " + quoted(source) + " && zip -q -fd " + quoted(archive) + " metadata.pkl data/close.npy empty.bin"), 0); }},
      {"zip writing to a pipe",
       [&] { ASSERT_EQ(shell("cd " + quoted(source) + " && zip -q - metadata.pkl data/close.npy empty.bin | cat > " + quoted(archive)), 0); }},
      {"zip -fz (ZIP64)",
       [&] { ASSERT_EQ(shell("cd " + quoted(source) + " && zip -q -fz " + quoted(archive) + " metadata.pkl data/close.npy empty.bin"), 0); }},
  };
  for (const auto& writer : writers) {
    SCOPED_TRACE(writer.label);
    fs::remove(archive);
    fs::remove_all(store);
    fs::create_directories(store);
    writer.write();
    ASSERT_EQ(shell("unzip -tq " + quoted(archive) + " > /dev/null"), 0) << "unzip -t refuses the archive";
    std::vector<fs::path> written;
    ASSERT_NO_THROW(written = _extract_zip(archive, store));
    EXPECT_EQ(written.size(), names.size());
    expect_members_unpacked();
  }
}

TEST_F(StreamingZipTest, EntryGuardStillAppliesToStreamingArchives) {
  write_file(dir / "evil.txt", "x");
  names = {"metadata.pkl", "../evil.txt"};
  python_archive(PYTHON_STREAMING);
  testing::expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, ILLEGAL + "../evil.txt");
  EXPECT_TRUE(fs::is_empty(store));
}

TEST_F(StreamingZipTest, DamagedStreamingArchivesAreStillRefused) {
  python_archive(PYTHON_STREAMING);
  const std::string good = read_file(archive);
  const auto local = [&](std::size_t n) {  // offset of the n-th local header
    std::size_t at = 0;
    for (std::size_t i = 0; i <= n; ++i) at = good.find("PK\x03\x04", i == 0 ? 0 : at + 4);
    return at;
  };
  const std::size_t central = good.find("PK\x01\x02");
  const std::size_t end = good.rfind("PK\x05\x06");
  ASSERT_NE(central, std::string::npos);
  ASSERT_NE(end, std::string::npos);

  struct Case {
    const char* label;
    std::function<std::string()> damage;
  } cases[] = {
      {"a data byte of the second member flipped (CRC-32)",
       [&] {
         std::string b = good;
         std::size_t data = local(1) + 30 + names[1].size();
         b[data + 100] = static_cast<char>(b[data + 100] ^ 0x55);
         return b;
       }},
      {"cut in the middle", [&] { return good.substr(0, good.size() / 2); }},
      {"cut just before the end record", [&] { return good.substr(0, end); }},
      {"central directory signature broken",
       [&] {
         std::string b = good;
         b[central + 1] = 'X';
         return b;
       }},
      {"local header names another file than the central directory",
       [&] {
         std::string b = good;
         b[local(1) + 30] = 'D';  // "data/close.npy" becomes "Data/close.npy" in the local header only
         return b;
       }},
      {"local header signature broken",
       [&] {
         std::string b = good;
         b[local(2) + 3] = 'X';
         return b;
       }},
      {"central directory points past the end of the file",
       [&] {
         std::string b = good;
         b[end + 16] = '\xff';
         b[end + 19] = '\x7f';
         return b;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(store);
    fs::create_directories(store);
    write_file(archive, c.damage());
    testing::expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, DAMAGED);
    EXPECT_FALSE(fs::exists(store / "empty.bin")) << "the last member was written from a damaged archive";
  }
}

// An archive comment is read as the zip library reads it: the end record is the one whose central
// directory ends where it starts, even when the comment itself holds the record's signature; an archive cut
// inside its comment is damaged. argv: archive, comment as hex, "c" bytes appended to it, bytes cut off the end.
TEST_F(StreamingZipTest, ArchiveCommentsAreReadAsTheZipLibraryReadsThem) {
  const char* script = R"PY(
import os, sys, zipfile
archive, comment, cut = sys.argv[1], bytes.fromhex(sys.argv[2]) + b"c" * int(sys.argv[3]), int(sys.argv[4])
with zipfile.ZipFile(archive, "w", compression=zipfile.ZIP_DEFLATED) as z:
    z.writestr("metadata.pkl", "meta")
    z.writestr("empty.bin", "")
    z.comment = comment
data = open(archive, "rb").read()
open(archive, "wb").write(data[:len(data) - cut])
)PY";
  const std::string signature = "PK\x05\x06";
  const std::string empty_record = signature + std::string(18, '\0');  // no entries, no comment
  struct Case {
    const char* label;
    std::string comment;
    int filler;  // "c" bytes after the comment
    int cut;
    bool accepted;
  } cases[] = {
      {"a plain comment", "packed on the build machine", 0, 0, true},
      {"the longest comment", "", 0xffff, 0, true},
      {"a comment holding an end record with room after it", "see " + empty_record + " and more", 0, 0, true},
      {"a comment ending in an end record whose own comment reaches the end",
       "see " + signature + std::string(16, '\0') + "\x03" + std::string(1, '\0') + "end", 0, 0, true},
      {"cut inside the comment", "packed on the build machine", 0, 5, false},
      {"cut by one byte inside the longest comment", "", 0xffff, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(store);
    fs::create_directories(store);
    std::string hex;
    for (unsigned char byte : c.comment) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", byte);
      hex += digits;
    }
    std::string output;
    ASSERT_EQ(testing::run_python(script, {archive.string(), hex, std::to_string(c.filler), std::to_string(c.cut)}, output), 0) << output;
    if (c.accepted) {
      try {
        _extract_zip(archive, store);
      } catch (const std::exception& error) {
        ADD_FAILURE() << "refused: " << error.what();
        continue;
      }
      EXPECT_EQ(read_file(store / "metadata.pkl"), "meta");
      EXPECT_EQ(read_file(store / "empty.bin"), "");
    } else {
      testing::expect_error<VelmoraError>([&] { _extract_zip(archive, store); }, DAMAGED);
      EXPECT_TRUE(fs::is_empty(store));
    }
  }
}

}  // namespace
}  // namespace velmora::backtest
