#pragma once

// The file primitives every writer of this SDK shares (the store, its lock and manifest, the package
// download): an owned descriptor, complete writes, fresh random names, and CRC-32 checksums as Python's
// zlib.crc32 computes them. They report failures as errno values; each caller turns them into its own
// error kind and words.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "velmora/host_export.h"

namespace velmora::files {

// Owns an open file descriptor and closes it on destruction (ignoring errors there; call close() to see
// them). Move-only.
class VELMORA_HOST_EXPORT UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor: 0, or the errno of a failed close (a delayed write failure, say).
  int close();

 private:
  int fd_ = -1;
};

// Writes all `size` bytes to `fd`, retrying interrupted and short writes: 0, or the errno of the write
// that failed.
VELMORA_HOST_EXPORT int write_fully(int fd, const void* data, std::size_t size);

// Sixteen random lowercase hex digits, for fresh file names.
VELMORA_HOST_EXPORT std::string fresh_token();

// CRC-32 of `size` bytes, continuing from `crc` (0 to start).
VELMORA_HOST_EXPORT std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t size);
// The CRC-32 of bytes A followed by B, from crc(A), crc(B) and the length of B.
VELMORA_HOST_EXPORT std::uint32_t crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b);
// Eight lowercase hex digits, as the store's records write a CRC-32.
VELMORA_HOST_EXPORT std::string crc_text(std::uint32_t crc);

// The size and CRC-32 of a whole file, read in chunks; `error` is 0, or the errno of the failed open or
// read (`action` then says which: "open" or "read").
struct FileSum {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  int error = 0;
  const char* action = "";
};
VELMORA_HOST_EXPORT FileSum checksum_file(const std::filesystem::path& path);

}  // namespace velmora::files
