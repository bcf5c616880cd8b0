#include "extract/zip_headers.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file_io.h"

namespace velmora::backtest {
namespace {

constexpr std::uint32_t END_SIGNATURE = 0x06054b50;
constexpr std::uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr std::uint32_t ZIP64_END_SIGNATURE = 0x06064b50;
constexpr std::uint32_t CENTRAL_SIGNATURE = 0x02014b50;
constexpr std::uint32_t LOCAL_SIGNATURE = 0x04034b50;
constexpr std::size_t END_SIZE = 22;
constexpr std::size_t ZIP64_LOCATOR_SIZE = 20;
constexpr std::size_t ZIP64_END_SIZE = 56;
constexpr std::size_t CENTRAL_SIZE = 46;
constexpr std::size_t LOCAL_SIZE = 30;
constexpr std::size_t MAX_COMMENT = 0xffff;
constexpr std::uint16_t ZIP64_EXTRA_ID = 0x0001;

[[noreturn]] void damaged(const std::string& what) { throw std::runtime_error(what); }

std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t u32(const unsigned char* p) { return u16(p) | static_cast<std::uint32_t>(u16(p + 2)) << 16; }
std::uint64_t u64(const unsigned char* p) { return u32(p) | static_cast<std::uint64_t>(u32(p + 4)) << 32; }

// The archive file for positioned reads.
class ArchiveFile {
 public:
  explicit ArchiveFile(const std::filesystem::path& path) : path_(path) {
    fd_ = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_.valid()) throw_errno("cannot open", path);
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0) throw_errno("cannot inspect", path);
    size_ = static_cast<std::uint64_t>(info.st_size);
  }
  std::uint64_t size() const { return size_; }

  // `count` bytes at `offset`; a range beyond the end of the file is damage.
  std::vector<unsigned char> read(std::uint64_t offset, std::size_t count, const char* what) const {
    if (offset > size_ || count > size_ - offset) damaged(std::string(what) + " lies beyond the end of the file");
    std::vector<unsigned char> bytes(count);
    std::size_t done = 0;
    while (done < count) {
      ssize_t got = ::pread(fd_.get(), bytes.data() + done, count - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw_errno("cannot read", path_);
      if (got == 0) damaged(std::string(what) + " lies beyond the end of the file");
      done += static_cast<std::size_t>(got);
    }
    return bytes;
  }

 private:
  std::filesystem::path path_;
  FileDescriptor fd_;
  std::uint64_t size_ = 0;
};

struct DirectoryLocation {
  std::uint64_t entries = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Finds the end-of-central-directory record and, where its fields overflow, the ZIP64 record it points to.
// An archive comment may itself hold the record's signature, so the record is the last one whose comment
// ends within the file and whose central directory ends where the record (or its ZIP64 record) starts, as
// the zip library decides; without such a record, the last one whose comment ends within the file.
DirectoryLocation locate_directory(const ArchiveFile& file) {
  if (file.size() < END_SIZE) damaged("no end of central directory record");
  std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), END_SIZE + MAX_COMMENT));
  std::uint64_t tail_offset = file.size() - tail_size;
  std::vector<unsigned char> tail = file.read(tail_offset, tail_size, "the end record");
  std::optional<DirectoryLocation> fallback;
  for (std::size_t at = tail_size - END_SIZE + 1; at-- > 0;) {
    const unsigned char* end = tail.data() + at;
    if (u32(end) != END_SIGNATURE || at + END_SIZE + u16(end + 20) > tail_size) continue;
    DirectoryLocation location{u16(end + 10), u32(end + 16), u32(end + 12)};
    bool zip64 = location.entries == 0xffff || location.offset == 0xffffffff || location.size == 0xffffffff;
    std::uint64_t end_offset = tail_offset + at;
    if (zip64) {
      if (end_offset < ZIP64_LOCATOR_SIZE) damaged("no ZIP64 end of central directory locator");
      auto locator = file.read(end_offset - ZIP64_LOCATOR_SIZE, ZIP64_LOCATOR_SIZE, "the ZIP64 locator");
      if (u32(locator.data()) != ZIP64_LOCATOR_SIGNATURE) damaged("no ZIP64 end of central directory locator");
      end_offset = u64(locator.data() + 8);
      auto record = file.read(end_offset, ZIP64_END_SIZE, "the ZIP64 end record");
      if (u32(record.data()) != ZIP64_END_SIGNATURE) damaged("bad ZIP64 end of central directory record");
      location = DirectoryLocation{u64(record.data() + 32), u64(record.data() + 48), u64(record.data() + 40)};
    }
    if (location.offset <= end_offset && location.size == end_offset - location.offset) return location;
    if (!fallback) fallback = location;
  }
  if (fallback) return *fallback;
  damaged("no end of central directory record");
}

// The local header offset of an entry whose 32-bit field overflowed, from its ZIP64 extra field (which
// holds, in this order and only where the fixed field is 0xffffffff, the sizes and then the offset).
std::uint64_t zip64_offset(const unsigned char* extra, std::size_t length, bool uncompressed_overflow,
                           bool compressed_overflow, const std::string& name) {
  for (std::size_t at = 0; at + 4 <= length;) {
    std::uint16_t id = u16(extra + at), size = u16(extra + at + 2);
    if (at + 4 + size > length) break;
    if (id == ZIP64_EXTRA_ID) {
      std::size_t skip = (uncompressed_overflow ? 8 : 0) + (compressed_overflow ? 8 : 0);
      if (skip + 8 > size) break;
      return u64(extra + at + 4 + skip);
    }
    at += 4 + size;
  }
  damaged("entry " + name + " lacks its ZIP64 offset");
}

}  // namespace

std::vector<CentralEntry> read_central_directory(const std::filesystem::path& path) {
  ArchiveFile file(path);
  DirectoryLocation location = locate_directory(file);
  if (location.size > file.size()) damaged("the central directory lies beyond the end of the file");
  std::vector<unsigned char> directory =
      file.read(location.offset, static_cast<std::size_t>(location.size), "the central directory");

  std::vector<CentralEntry> entries;
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < location.entries; ++i) {
    if (at + CENTRAL_SIZE > directory.size() || u32(directory.data() + at) != CENTRAL_SIGNATURE) {
      damaged("bad central directory entry " + std::to_string(i));
    }
    const unsigned char* fixed = directory.data() + at;
    std::size_t name_length = u16(fixed + 28), extra_length = u16(fixed + 30), comment_length = u16(fixed + 32);
    if (at + CENTRAL_SIZE + name_length + extra_length + comment_length > directory.size()) {
      damaged("bad central directory entry " + std::to_string(i));
    }
    CentralEntry entry;
    entry.name.assign(reinterpret_cast<const char*>(fixed + CENTRAL_SIZE), name_length);
    entry.method = u16(fixed + 10);
    entry.local_header_offset = u32(fixed + 42);
    if (entry.local_header_offset == 0xffffffff) {
      entry.local_header_offset = zip64_offset(fixed + CENTRAL_SIZE + name_length, extra_length,
                                               u32(fixed + 24) == 0xffffffff, u32(fixed + 20) == 0xffffffff,
                                               entry.name);
    }
    entries.push_back(std::move(entry));
    at += CENTRAL_SIZE + name_length + extra_length + comment_length;
  }
  return entries;
}

void check_local_headers(const std::filesystem::path& path, const std::vector<CentralEntry>& entries) {
  ArchiveFile file(path);
  for (const auto& entry : entries) {
    auto fixed = file.read(entry.local_header_offset, LOCAL_SIZE, "a local header");
    if (u32(fixed.data()) != LOCAL_SIGNATURE) damaged("bad local header of entry " + entry.name);
    auto name = file.read(entry.local_header_offset + LOCAL_SIZE, u16(fixed.data() + 26), "a local header");
    if (std::string(name.begin(), name.end()) != entry.name) {
      damaged("the local header of entry " + entry.name + " names " + std::string(name.begin(), name.end()));
    }
    if (u16(fixed.data() + 8) != entry.method) {
      damaged("the local header of entry " + entry.name + " names another method");
    }
  }
}

}  // namespace velmora::backtest
