#pragma once

// Uninitialised cell storage for building a WideMatrix without a zero-filling pass: allocate, write every
// cell, then hand it to WideMatrix::from_cells, which takes ownership without copying.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::backtest {

using FloatCells = std::shared_ptr<double[]>;
using BoolCells = std::shared_ptr<std::uint8_t[]>;

// `n` cells with indeterminate values.
inline FloatCells allocate_float(std::size_t n) { return FloatCells(new double[n]); }
inline BoolCells allocate_bool(std::size_t n) { return BoolCells(new std::uint8_t[n]); }

}  // namespace velmora::backtest
