#pragma once

// The .npy file format as numpy writes it: the magic "\x93NUMPY", a format version, the header length, and
// a Python dict literal that names the element type ("descr"), the memory order ("fortran_order") and the
// shape, padded with spaces and a line feed so that the data starts at a multiple of 64 bytes. The cells
// follow, in C order, to the end of the file.
//
// We write format 1.0 (the header of a two-dimensional array never needs more) and read 1.0, 2.0 and 3.0.
// Only the two element types of the store are accepted: little-endian float64 ("<f8") and bool ("|b1").

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest {

struct NpyHeader {
  CellType type = CellType::float64;
  std::vector<std::uint64_t> shape;
  std::size_t data_offset = 0;  // bytes before the first cell

  std::size_t element_size() const { return type == CellType::float64 ? 8 : 1; }
  // Rows × columns × element size (the product of the shape; 1 for a zero-dimensional array).
  std::uint64_t data_bytes() const;
};

// The bytes that precede the cells of an array of `type` and `shape`.
std::string npy_preamble(CellType type, const std::vector<std::uint64_t>& shape);

// Bytes a reader needs to learn the preamble's size.
inline constexpr std::size_t NPY_PREFIX_SIZE = 12;
// The largest preamble accepted; numpy's own headers are a few hundred bytes.
inline constexpr std::size_t NPY_MAX_PREAMBLE = std::size_t{1} << 20;

// The whole preamble size, from the first NPY_PREFIX_SIZE bytes (or fewer, for a shorter file). Throws
// ValueError for a file that is not a .npy file of a known version.
std::size_t npy_preamble_size(std::string_view prefix);

// The header described by `preamble` (exactly npy_preamble_size bytes). Throws ValueError with the reason.
NpyHeader parse_npy_preamble(std::string_view preamble);

}  // namespace velmora::backtest
