#include "velmora/file_primitives.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace velmora::files {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::close() {
  const int fd = fd_;
  fd_ = -1;
  return fd >= 0 && ::close(fd) != 0 ? errno : 0;
}

int write_fully(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, std::min<std::size_t>(size, std::size_t{1} << 30));
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

std::string fresh_token() {
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

std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const Bytef*>(data);
  while (size > 0) {
    auto chunk = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    crc = static_cast<std::uint32_t>(::crc32(crc, bytes, chunk));
    bytes += chunk;
    size -= chunk;
  }
  return crc;
}

std::uint32_t crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) {
  return static_cast<std::uint32_t>(::crc32_combine64(crc_a, crc_b, static_cast<z_off64_t>(length_b)));
}

std::string crc_text(std::uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", crc);
  return text;
}

FileSum checksum_file(const std::filesystem::path& path) {
  FileSum sum;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    sum.error = errno;
    sum.action = "open";
    return sum;
  }
  std::vector<unsigned char> buffer(std::size_t{4} << 20);
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      sum.error = errno;
      sum.action = "read";
      return sum;
    }
    if (got == 0) return sum;
    sum.crc = crc32_update(sum.crc, buffer.data(), static_cast<std::size_t>(got));
    sum.size += static_cast<std::uint64_t>(got);
  }
}

}  // namespace velmora::files
