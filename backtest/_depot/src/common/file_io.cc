#include "common/file_io.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace velmora::backtest {
namespace {

// Attempts before giving up on finding a free random name; with 64 random bits a clash is already rare.
constexpr int MAX_NAME_ATTEMPTS = 100;

}  // namespace

void throw_errno(const char* operation, const std::filesystem::path& path, int error) {
  throw std::filesystem::filesystem_error(operation, path, std::error_code(error, std::generic_category()));
}

void FileDescriptor::write_all(const char* data, std::size_t size, const std::filesystem::path& path) const {
  if (int error = files::write_fully(get(), data, size)) throw_errno("cannot write", path, error);
}

void FileDescriptor::close(const std::filesystem::path& path) {
  if (int error = UniqueFd::close()) throw_errno("cannot close", path, error);
}

FileDescriptor open_for_writing(const std::filesystem::path& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw_errno("cannot open for writing", path);
  return FileDescriptor(fd);
}

CreatedFile create_unique_file(const std::filesystem::path& dir, std::string_view prefix, std::string_view suffix,
                               mode_t mode) {
  for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
    std::filesystem::path path = dir / (std::string(prefix) + files::fresh_token() + std::string(suffix));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return CreatedFile{std::move(path), FileDescriptor(fd)};
    if (errno != EEXIST) throw_errno("cannot create", path);
  }
  errno = EEXIST;
  throw_errno("no free temporary file name", dir);
}

}  // namespace velmora::backtest
