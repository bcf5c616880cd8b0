#pragma once

// Plain POSIX file handling shared by the download and the extraction: an owned descriptor, complete
// writes, and files created under fresh random names. Failures raise std::filesystem::filesystem_error with
// the errno of the failing call.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace velmora::backtest {

[[noreturn]] void throw_errno(const char* operation, const std::filesystem::path& path);

// Owns an open file descriptor and closes it on destruction (ignoring errors there; call close() to see
// them). Move-only.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Writes all `size` bytes, retrying short writes. `path` names the file in errors.
  void write_all(const char* data, std::size_t size, const std::filesystem::path& path) const;
  // Closes the descriptor; raises when the close reports an error (such as a delayed write failure).
  void close(const std::filesystem::path& path);

 private:
  int fd_ = -1;
};

// Opens `path` for writing, creating it with `mode` (less the umask) or truncating it.
FileDescriptor open_for_writing(const std::filesystem::path& path, mode_t mode);

// Sixteen random lowercase hex digits, for fresh names.
std::string random_name_part();

struct CreatedFile {
  std::filesystem::path path;
  FileDescriptor file;
};

// Creates a new empty file in `dir` named `prefix` + a random part + `suffix`, exclusively (an existing
// name is never opened; a taken name is replaced by another random one), with `mode` less the umask.
CreatedFile create_unique_file(const std::filesystem::path& dir, std::string_view prefix, std::string_view suffix,
                               mode_t mode);

}  // namespace velmora::backtest
