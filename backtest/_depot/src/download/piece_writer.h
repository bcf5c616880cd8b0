#pragma once

// Collects a response body as it arrives and writes it to the destination file in whole pieces of
// DOWNLOAD_CHUNK_SIZE bytes, so the file grows piece by piece and memory stays at one piece.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "common/file_io.h"
#include "velmora/backtest/depot.h"

namespace velmora::backtest {

class PieceWriter {
 public:
  PieceWriter(std::filesystem::path dest, const DownloadProgress& progress)
      : dest_(std::move(dest)), progress_(progress) {}

  // Creates or truncates the destination. `total` is the announced body size, if known.
  void open(std::optional<std::uint64_t> total);
  // REQUIRES: open() was called.
  void append(const char* data, std::size_t size);
  // Writes the last, shorter piece (if any) and closes the file.
  void finish();

 private:
  void write_piece();

  std::filesystem::path dest_;
  const DownloadProgress& progress_;
  FileDescriptor file_;
  std::vector<char> piece_;
  std::uint64_t written_ = 0;
  std::optional<std::uint64_t> total_;
};

}  // namespace velmora::backtest
