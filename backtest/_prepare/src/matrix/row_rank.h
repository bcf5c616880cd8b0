#pragma once

// Average ranks within one row, shared by WideMatrix::rank and the forward-return rank.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::backtest {

// Ranks the values of one row. Usage: clear(), add(value, column) for every non-NaN cell, then
// write_ranks(out_row), which sets out_row[column] to the 1-based rank of its value, ties sharing the mean of
// the positions they span. Cells never added are left as they are. Keeps its buffers between rows so that
// ranking a matrix allocates once per thread.
class RowRanker {
 public:
  void clear() { entries_.clear(); }
  void add(double value, std::uint32_t column);
  void write_ranks(double* out_row);

 private:
  struct Entry {
    std::uint64_t key;  // the value's bits, mapped so that unsigned order is numeric order
    std::uint32_t column;
  };
  void sort_entries();

  std::vector<Entry> entries_;
  std::vector<Entry> scratch_;
};

}  // namespace velmora::backtest
