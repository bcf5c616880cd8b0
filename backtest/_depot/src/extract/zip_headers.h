#pragma once

// The headers of a zip archive as stored, read without the zip library: the central directory (with ZIP64
// records) and each member's local header. The zip library reads members by the central directory alone;
// this lets the extraction prove that every local header agrees with it on what matters (the member's
// name and compression method) while tolerating what streaming writers legitimately leave out: sizes and
// CRC-32 of zero or partly filled in the local header when a data descriptor follows the data.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::backtest {

struct CentralEntry {
  std::string name;  // raw bytes as stored
  std::uint16_t method = 0;
  std::uint64_t local_header_offset = 0;
};

// The central directory entries of the archive at `path`, in their order. Throws std::runtime_error
// describing the first inconsistency (no end record, a record or entry outside the file, a bad signature).
std::vector<CentralEntry> read_central_directory(const std::filesystem::path& path);

// Checks the local header of every entry: inside the file, with the local signature, the same name and the
// same compression method as its central entry. Throws std::runtime_error naming the first entry that
// disagrees.
void check_local_headers(const std::filesystem::path& path, const std::vector<CentralEntry>& entries);

}  // namespace velmora::backtest
