#include "store_files.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store_messages.h"
#include "velmora/errors.h"
#include "velmora/page_advice.h"

namespace velmora::backtest::store_files {
namespace {

[[noreturn]] void fail(const std::string& action, const std::filesystem::path& path, int error = errno) {
  throw VelmoraError(store_messages::io_failure(action, path, error));
}

using Descriptor = files::UniqueFd;

void write_all(int fd, const void* data, std::size_t size, const std::filesystem::path& path) {
  if (int error = files::write_fully(fd, data, size)) fail("write", path, error);
}

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";
// Syncs in flight at once: more than cores, since a sync waits on the disk, not the processor.
constexpr std::size_t MAX_PARALLEL_COMMITS = 8;

// Direct I/O wants offsets, lengths and buffer addresses in whole blocks of the device; 4 KiB covers the
// devices in use. A device that wants more makes a write fail with EINVAL, and the file then goes on
// through the page cache.
constexpr std::size_t DIRECT_BLOCK = 4096;
// Files from this size on go to disk by direct I/O; below it, the page cache's copy costs little.
constexpr std::uint64_t DIRECT_MIN_BYTES = std::uint64_t{1} << 20;
// Bytes gathered per direct write: large enough for the disk to stream.
constexpr std::size_t DIRECT_STAGING_BYTES = std::size_t{8} << 20;
// Bytes copied into the staging buffer and checksummed at a time, so that the checksum reads them from
// the processor's cache.
constexpr std::size_t CHECKSUM_SLICE_BYTES = std::size_t{256} << 10;

std::size_t round_up_to_block(std::uint64_t bytes) {
  return static_cast<std::size_t>((bytes + DIRECT_BLOCK - 1) / DIRECT_BLOCK * DIRECT_BLOCK);
}

// Switches an open file to direct I/O; false where the file system does not offer it.
bool set_direct(int fd, bool direct) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

}  // namespace

void NewFile::FreeStaging::operator()(char* data) const { std::free(data); }

NewFile::NewFile(const std::filesystem::path& dir, const std::string& stem, const std::string& suffix,
                 const std::function<void(const std::string& name)>& announce, std::uint64_t expected_size) {
  while (true) {
    name_ = stem + "." + files::fresh_token() + suffix;
    path_ = dir / name_;
    if (announce) {
      struct stat existing {};
      if (::lstat(path_.c_str(), &existing) == 0) continue;
      announce(name_);
    }
    // Opened without O_DIRECT and switched after: a file system that refuses it at open() may already
    // have created the file.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ >= 0) break;
    if (errno != EEXIST) fail("create", path_);
  }
  if (expected_size < DIRECT_MIN_BYTES || !set_direct(fd_, true)) return;
  direct_io_ = true;
  staging_capacity_ = std::min(DIRECT_STAGING_BYTES, round_up_to_block(expected_size));
  staging_.reset(static_cast<char*>(std::aligned_alloc(DIRECT_BLOCK, staging_capacity_)));
  if (!staging_) throw std::bad_alloc();
  advise_huge_pages(staging_.get(), staging_capacity_);
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(path_.c_str());
}

void NewFile::write(const void* data, std::size_t size) {
  if (!staging_) {
    write_all(fd_, data, size, path_);
    crc_ = files::crc32_update(crc_, data, size);
    size_ += size;
    return;
  }
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    std::size_t slice = std::min({size, staging_capacity_ - staged_, CHECKSUM_SLICE_BYTES});
    char* target = staging_.get() + staged_;
    std::memcpy(target, bytes, slice);
    crc_ = files::crc32_update(crc_, target, slice);
    staged_ += slice;
    size_ += slice;
    bytes += slice;
    size -= slice;
    if (staged_ == staging_capacity_) {
      write_staged(staged_);
      staged_ = 0;
    }
  }
}

void NewFile::append_copy(const ReadFile& source, std::uint64_t offset, std::uint64_t length, std::uint32_t crc) {
  auto in_offset = static_cast<off_t>(offset);
  std::uint64_t left = length;
  while (left > 0) {
    ssize_t copied = ::copy_file_range(source.descriptor(), &in_offset, fd_, nullptr,
                                       std::min<std::uint64_t>(left, std::uint64_t{1} << 30), 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) break;  // unsupported between these files, or a short source: copied through memory
    left -= static_cast<std::uint64_t>(copied);
  }
  std::vector<char> buffer(left > 0 ? std::min<std::uint64_t>(left, std::uint64_t{4} << 20) : 0);
  while (left > 0) {
    auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    source.read_at(static_cast<std::uint64_t>(in_offset), buffer.data(), chunk);
    write_all(fd_, buffer.data(), chunk, path_);
    in_offset += static_cast<off_t>(chunk);
    left -= chunk;
  }
  crc_ = files::crc32_combine(crc_, crc, length);
  size_ += length;
}

void NewFile::replace_last(std::size_t size, std::uint32_t old_crc, const void* data) {
  const char* bytes = static_cast<const char*>(data);
  auto at = static_cast<off_t>(size_ - size);
  for (std::size_t left = size; left > 0;) {
    ssize_t written = ::pwrite(fd_, bytes, left, at);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("write", path_);
    }
    bytes += written;
    at += written;
    left -= static_cast<std::size_t>(written);
  }
  crc_ ^= old_crc ^ files::crc32_update(0, data, size);
}

void NewFile::write_staged(std::size_t bytes) {
  const char* data = staging_.get();
  while (bytes > 0) {
    ssize_t written = ::pwrite(fd_, data, bytes, static_cast<off_t>(on_disk_));
    if (written < 0) {
      if (errno == EINTR) continue;
      // The device wants a larger alignment (or a short write left us unaligned): the page cache takes
      // any offset, so the rest goes that way.
      if (errno == EINVAL && direct_io_ && set_direct(fd_, false)) {
        direct_io_ = false;
        continue;
      }
      fail("write", path_);
    }
    data += written;
    bytes -= static_cast<std::size_t>(written);
    on_disk_ += static_cast<std::uint64_t>(written);
  }
}

// Writes the last staged bytes, padded to a whole block, and cuts the padding off again. Any later write
// appends through the page cache.
void NewFile::finish_direct() {
  if (!staging_) return;
  std::size_t padded = round_up_to_block(staged_);
  std::memset(staging_.get() + staged_, 0, padded - staged_);
  write_staged(padded);
  staging_.reset();
  if (on_disk_ != size_ && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) fail("write", path_);
  if (direct_io_ && set_direct(fd_, false)) direct_io_ = false;
  if (::lseek(fd_, static_cast<off_t>(size_), SEEK_SET) < 0) fail("write", path_);
}

void NewFile::start_writeback() {
  if (staging_) {
    finish_direct();  // direct writes are on the device once they return; commit() syncs the metadata
    return;
  }
  // Only a hint: where the call is unsupported, commit() writes everything itself.
  ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void NewFile::commit() {
  finish_direct();
  if (::fsync(fd_) != 0) fail("sync", path_);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) fail("close", path_);
  committed_ = true;
}

void run_all(std::size_t count, std::size_t workers, const std::function<void(std::size_t)>& task) {
  workers = std::min(count, std::max<std::size_t>(1, workers));
  std::atomic<std::size_t> next{0};
  std::vector<std::exception_ptr> failures(count);
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) {
      try {
        task(i);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (auto& thread : threads) thread.join();
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

void commit_all(const std::vector<std::unique_ptr<NewFile>>& files) {
  run_all(files.size(), MAX_PARALLEL_COMMITS, [&](std::size_t i) { files[i]->commit(); });
}

void sync_directory(const std::filesystem::path& dir) {
  Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) fail("open directory", dir);
  if (::fsync(fd.get()) != 0) fail("sync directory", dir);
}

void replace_file(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path dir = path.parent_path();
  NewFile temporary(dir, path.filename().string(), std::string(TEMPORARY_SUFFIX));
  temporary.write(bytes.data(), bytes.size());
  temporary.commit();
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.path().c_str());
    fail("replace", path, error);
  }
  sync_directory(dir);
}

void append_file(const std::filesystem::path& path, std::string_view bytes) {
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (fd.get() < 0) fail("open", path);
  write_all(fd.get(), bytes.data(), bytes.size(), path);
}

bool is_replace_temporary(const std::string& name, const std::string& target) {
  std::string prefix = target + ".";
  return name.size() == prefix.size() + 16 + TEMPORARY_SUFFIX.size() && name.starts_with(prefix) &&
         name.ends_with(TEMPORARY_SUFFIX);
}

void prefetch(const std::filesystem::path& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() >= 0) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_WILLNEED);
}

std::string read_file(const std::filesystem::path& path) {
  ReadFile file(path);
  std::string bytes(static_cast<std::size_t>(file.size()), '\0');
  file.read_at(0, bytes.data(), bytes.size());
  return bytes;
}

std::shared_ptr<const MappedFile> map_file(const std::filesystem::path& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail("open", path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) fail("inspect", path);
  auto size = static_cast<std::size_t>(info.st_size);
  if (size == 0) return std::make_shared<const MappedFile>();
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) fail("map", path);
  auto* mapped = new MappedFile{static_cast<const char*>(data), size};
  return std::shared_ptr<const MappedFile>(mapped, [](const MappedFile* file) {
    ::munmap(const_cast<char*>(file->data), file->size);
    delete file;
  });
}

ReadFile::ReadFile(const std::filesystem::path& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) fail("open", path);
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    int error = errno;
    ::close(fd_);
    fail("inspect", path, error);
  }
  size_ = static_cast<std::uint64_t>(info.st_size);
}

ReadFile::~ReadFile() { ::close(fd_); }

void ReadFile::read_at(std::uint64_t offset, void* out, std::size_t size) const {
  char* bytes = static_cast<char*>(out);
  while (size > 0) {
    ssize_t got = ::pread(fd_, bytes, std::min<std::size_t>(size, std::size_t{1} << 30), static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("read", path_);
    }
    if (got == 0) fail("read", path_, EIO);
    bytes += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
}

}  // namespace velmora::backtest::store_files
