#pragma once

// Files of the store: files created under fresh names and synced to disk, atomic replacement of a small
// file, whole-file reads and read-only mappings, over the host's file primitives (velmora/file_primitives.h).
// Failures throw VelmoraError with the path and the system's reason.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/file_primitives.h"

namespace velmora::backtest::store_files {

class ReadFile;

// A file created exclusively in a directory under `<stem>.<token><suffix>`, with a fresh token (retried
// while the name exists). Tracks its size and CRC-32 as bytes are written. Removed on destruction unless
// `commit` succeeded, so an error never leaves half a file behind under a name we hand out.
//
// A large file written once from start to end (say so with `expected_size`) goes to disk by direct I/O:
// its bytes are checksummed while they are gathered in a block-aligned buffer and written from there, with
// no copy into the page cache. Filling page-cache memory costs more than the disk's own speed on many
// machines, and a file we sync at once gains nothing from staying cached. Where the file system refuses
// direct I/O, the file is written through the page cache as any other.
class NewFile {
 public:
  // `announce`, when given, is called with a free name just before the file is created under it, so that a
  // writer can record the name first and a crash never leaves a file it has not recorded.
  NewFile(const std::filesystem::path& dir, const std::string& stem, const std::string& suffix,
          const std::function<void(const std::string& name)>& announce = {}, std::uint64_t expected_size = 0);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  void write(const void* data, std::size_t size);
  // Appends `length` bytes of `source` from `offset` on, copied by the kernel (shared blocks where the file
  // system can, never through our memory); `crc` is their CRC-32, which the caller knows from the source's
  // records, so the bytes are not read to checksum them. REQUIRES: no direct I/O (no `expected_size`).
  void append_copy(const ReadFile& source, std::uint64_t offset, std::uint64_t length, std::uint32_t crc);
  // Replaces the last `size` bytes written, whose CRC-32 was `old_crc`, with `data`; the file's CRC-32 follows
  // without reading it back (a CRC changes by the CRC-32s of a same-length tail swapped out and in).
  // REQUIRES: no direct I/O; size <= size().
  void replace_last(std::size_t size, std::uint32_t old_crc, const void* data);
  // Starts writing the contents to disk without waiting, so that the disk works while other files are
  // written; commit() then has less to wait for.
  void start_writeback();
  // Syncs the contents to disk and closes the file.
  void commit();

  const std::string& name() const { return name_; }
  const std::filesystem::path& path() const { return path_; }
  std::uint64_t size() const { return size_; }
  std::uint32_t crc() const { return crc_; }

 private:
  struct FreeStaging {
    void operator()(char* data) const;
  };
  void write_staged(std::size_t bytes);
  void finish_direct();

  std::filesystem::path path_;
  std::string name_;
  int fd_ = -1;
  bool committed_ = false;
  std::uint64_t size_ = 0;
  std::uint32_t crc_ = 0;
  // Direct I/O only: the aligned buffer of bytes not yet written, and the file offset it starts at.
  std::unique_ptr<char, FreeStaging> staging_;
  std::size_t staging_capacity_ = 0;
  std::size_t staged_ = 0;
  std::uint64_t on_disk_ = 0;
  bool direct_io_ = false;  // the descriptor has O_DIRECT set
};

// Runs task(0) … task(count - 1) on up to `workers` threads. Throws the first failure (by index) once every
// task has run.
void run_all(std::size_t count, std::size_t workers, const std::function<void(std::size_t)>& task);

// Commits every file, several at a time: a disk keeps more requests in flight than one sync gives it. Throws
// the first failure once every commit has run; the files that failed are removed with their objects.
void commit_all(const std::vector<std::unique_ptr<NewFile>>& files);

// Makes the creation, renaming and removal of entries in `dir` durable.
void sync_directory(const std::filesystem::path& dir);

// Replaces `path` with `bytes` so that a reader (or a crash) sees either the old or the new file, never a
// mix: the bytes go to a temporary file beside it, which is synced and renamed over `path`.
void replace_file(const std::filesystem::path& path, std::string_view bytes);

// Appends `bytes` to `path`, creating it when missing. Not synced: used for records whose loss only leaves
// files behind.
void append_file(const std::filesystem::path& path, std::string_view bytes);

// True when `name` is a temporary file that replace_file creates for a file named `target`.
bool is_replace_temporary(const std::string& name, const std::string& target);

// Asks the kernel to start reading the whole file into the page cache, so that later reads find it there.
// Only a hint: a file that cannot be opened is left alone.
void prefetch(const std::filesystem::path& path);

// The whole file. Throws VelmoraError when it cannot be read (a missing file included).
std::string read_file(const std::filesystem::path& path);

// A file mapped read-only in full. The mapping is released when the last shared_ptr to it goes.
struct MappedFile {
  const char* data = nullptr;
  std::size_t size = 0;
};
std::shared_ptr<const MappedFile> map_file(const std::filesystem::path& path);

// An open file for positioned reads; closed on destruction.
class ReadFile {
 public:
  explicit ReadFile(const std::filesystem::path& path);
  ~ReadFile();
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;

  std::uint64_t size() const { return size_; }
  int descriptor() const { return fd_; }
  const std::filesystem::path& path() const { return path_; }
  // Exactly `size` bytes at `offset` into `out`. REQUIRES: offset + size <= size().
  void read_at(std::uint64_t offset, void* out, std::size_t size) const;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace velmora::backtest::store_files
