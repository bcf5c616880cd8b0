#include "common/file_io.h"

#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace velmora::backtest {
namespace {

// Attempts before giving up on finding a free random name; with 64 random bits a clash is already rare.
constexpr int MAX_NAME_ATTEMPTS = 100;

}  // namespace

std::string random_name_part() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::uint64_t bits = engine();
  std::string text(16, '0');
  for (char& c : text) {
    c = DIGITS[bits & 0xf];
    bits >>= 4;
  }
  return text;
}

void throw_errno(const char* operation, const std::filesystem::path& path) {
  throw std::filesystem::filesystem_error(operation, path, std::error_code(errno, std::generic_category()));
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

void FileDescriptor::write_all(const char* data, std::size_t size, const std::filesystem::path& path) const {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw_errno("cannot write", path);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void FileDescriptor::close(const std::filesystem::path& path) {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw_errno("cannot close", path);
}

FileDescriptor open_for_writing(const std::filesystem::path& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw_errno("cannot open for writing", path);
  return FileDescriptor(fd);
}

CreatedFile create_unique_file(const std::filesystem::path& dir, std::string_view prefix, std::string_view suffix,
                               mode_t mode) {
  for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
    std::filesystem::path path = dir / (std::string(prefix) + random_name_part() + std::string(suffix));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return CreatedFile{std::move(path), FileDescriptor(fd)};
    if (errno != EEXIST) throw_errno("cannot create", path);
  }
  errno = EEXIST;
  throw_errno("no free temporary file name", dir);
}

}  // namespace velmora::backtest
