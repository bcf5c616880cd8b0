#pragma once

// File handling shared by the download and the extraction, over the host's file primitives: an owned
// descriptor whose writes raise, and files created under fresh random names. Failures raise
// std::filesystem::filesystem_error with the errno of the failing call.

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "velmora/file_primitives.h"

namespace velmora::backtest {

[[noreturn]] void throw_errno(const char* operation, const std::filesystem::path& path, int error = errno);

// The host's owned descriptor, with writes and a close that raise.
class FileDescriptor : public files::UniqueFd {
 public:
  using UniqueFd::UniqueFd;

  // Writes all `size` bytes, retrying short writes. `path` names the file in errors.
  void write_all(const char* data, std::size_t size, const std::filesystem::path& path) const;
  // Closes the descriptor; raises when the close reports an error (such as a delayed write failure).
  void close(const std::filesystem::path& path);
};

// Opens `path` for writing, creating it with `mode` (less the umask) or truncating it.
FileDescriptor open_for_writing(const std::filesystem::path& path, mode_t mode);

struct CreatedFile {
  std::filesystem::path path;
  FileDescriptor file;
};

// Creates a new empty file in `dir` named `prefix` + a random part + `suffix`, exclusively (an existing
// name is never opened; a taken name is replaced by another random one), with `mode` less the umask.
CreatedFile create_unique_file(const std::filesystem::path& dir, std::string_view prefix, std::string_view suffix,
                               mode_t mode);

}  // namespace velmora::backtest
