#include "matrix/row_rank.h"

#include <array>
#include <cstring>

namespace velmora::backtest {

namespace {

// Order-preserving map of a non-NaN double to an unsigned integer: flip every bit of negatives, only the
// sign bit of positives. -0.0 and +0.0 are equal values, so both map to the key of +0.0.
std::uint64_t sortable_key(double value) {
  if (value == 0.0) value = 0.0;
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits & 0x8000000000000000ULL) ? ~bits : bits | 0x8000000000000000ULL;
}

}  // namespace

void RowRanker::add(double value, std::uint32_t column) { entries_.push_back({sortable_key(value), column}); }

// Least-significant-digit radix sort by key, one byte per pass. Stable, so equal keys keep column order;
// passes where every key has the same byte are skipped (prices and returns share their high bytes).
void RowRanker::sort_entries() {
  const std::size_t n = entries_.size();
  if (n < 64) {
    // Insertion sort: cheaper than eight histogram passes for short rows.
    for (std::size_t i = 1; i < n; ++i) {
      Entry e = entries_[i];
      std::size_t j = i;
      while (j > 0 && entries_[j - 1].key > e.key) {
        entries_[j] = entries_[j - 1];
        --j;
      }
      entries_[j] = e;
    }
    return;
  }
  std::array<std::array<std::uint32_t, 256>, 8> counts{};
  for (const Entry& e : entries_)
    for (int d = 0; d < 8; ++d) ++counts[d][(e.key >> (8 * d)) & 0xFF];
  scratch_.resize(n);
  for (int d = 0; d < 8; ++d) {
    auto& count = counts[d];
    if (count[(entries_[0].key >> (8 * d)) & 0xFF] == n) continue;
    std::uint32_t offset = 0;
    for (auto& c : count) {
      std::uint32_t next = offset + c;
      c = offset;
      offset = next;
    }
    for (const Entry& e : entries_) scratch_[count[(e.key >> (8 * d)) & 0xFF]++] = e;
    entries_.swap(scratch_);
  }
}

void RowRanker::write_ranks(double* out_row) {
  sort_entries();
  const std::size_t n = entries_.size();
  for (std::size_t k = 0; k < n;) {
    std::size_t m = k + 1;
    while (m < n && entries_[m].key == entries_[k].key) ++m;
    const double mean_rank = (static_cast<double>(k + 1) + static_cast<double>(m)) / 2.0;
    for (std::size_t p = k; p < m; ++p) out_row[entries_[p].column] = mean_rank;
    k = m;
  }
}

}  // namespace velmora::backtest
