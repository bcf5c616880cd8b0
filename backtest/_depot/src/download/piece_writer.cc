#include "download/piece_writer.h"

#include <algorithm>

namespace velmora::backtest {

void PieceWriter::open(std::optional<std::uint64_t> total) {
  total_ = total;
  file_ = open_for_writing(dest_, 0666);
  piece_.reserve(DOWNLOAD_CHUNK_SIZE);
}

void PieceWriter::append(const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t take = std::min(size, DOWNLOAD_CHUNK_SIZE - piece_.size());
    piece_.insert(piece_.end(), data, data + take);
    data += take;
    size -= take;
    if (piece_.size() == DOWNLOAD_CHUNK_SIZE) write_piece();
  }
}

void PieceWriter::finish() {
  if (!piece_.empty()) write_piece();
  file_.close(dest_);
}

void PieceWriter::write_piece() {
  file_.write_all(piece_.data(), piece_.size(), dest_);
  written_ += piece_.size();
  piece_.clear();
  if (progress_) progress_(written_, total_);
}

}  // namespace velmora::backtest
