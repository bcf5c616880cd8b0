#pragma once

// Uninitialised cell storage for building a WideMatrix without a zero-filling pass: allocate, write every
// cell, then hand it to WideMatrix::from_cells, which takes ownership without copying.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "velmora/page_advice.h"

namespace velmora::backtest {

using FloatCells = std::shared_ptr<double[]>;
using BoolCells = std::shared_ptr<std::uint8_t[]>;

// `n` cells with indeterminate values, backed by huge pages where the system allows (see page_advice.h).
inline FloatCells allocate_float(std::size_t n) {
  FloatCells cells(new double[n]);
  advise_huge_pages(cells.get(), n * sizeof(double));
  return cells;
}
inline BoolCells allocate_bool(std::size_t n) {
  BoolCells cells(new std::uint8_t[n]);
  advise_huge_pages(cells.get(), n);
  return cells;
}

}  // namespace velmora::backtest
