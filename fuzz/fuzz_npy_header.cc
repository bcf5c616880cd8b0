// The .npy header parser on arbitrary file bytes, and the mapping of the file's cells. Invariants: the
// parser refuses with ValueError or returns a header whose shape product times the item size is computed
// without overflow (checked against 128-bit arithmetic); when the header's size matches the file, every
// cell lies inside the file (read from a buffer of exactly the file's size, so AddressSanitizer sees any
// read past it); and the preamble written for the parsed type and shape parses back to the same header.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "npy_format.h"
#include "velmora/errors.h"

namespace vb = velmora::backtest;

namespace {

// The shape product times the item size, multiplied in the shape's order in 128 bits; false when a step
// leaves the 64-bit range (the reader must then refuse the header rather than wrap around).
bool fits_64_bits(const vb::NpyHeader& header, std::uint64_t& bytes) {
  unsigned __int128 product = header.element_size();
  for (auto dimension : header.shape) {
    product *= dimension;
    if (product > UINT64_MAX) return false;
  }
  bytes = static_cast<std::uint64_t>(product);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly the file's size: a read one byte past it is an AddressSanitizer report.
  std::unique_ptr<char[]> file(new char[size == 0 ? 1 : size]);
  std::memcpy(file.get(), data, size);
  const std::string_view bytes(file.get(), size);

  vb::NpyHeader header;
  try {
    std::size_t preamble_size = vb::npy_preamble_size(bytes.substr(0, std::min(size, vb::NPY_PREFIX_SIZE)));
    if (preamble_size > size) return 0;  // the store refuses such a file before parsing
    header = vb::parse_npy_preamble(bytes.substr(0, preamble_size));
  } catch (const velmora::ValueError&) {
    return 0;
  }
  FUZZ_CHECK(header.data_offset <= size);

  std::uint64_t expected = 0;
  const bool fits = fits_64_bits(header, expected);
  std::uint64_t data_bytes = 0;
  try {
    data_bytes = header.data_bytes();
    FUZZ_CHECK(fits && data_bytes == expected, "cell bytes computed wrongly or overflowed");
  } catch (const velmora::ValueError&) {
    FUZZ_CHECK(!fits, "cell bytes refused although every step fits in 64 bits");
    return 0;
  }

  // The store maps a file only when its size is exactly the preamble plus the cells.
  if (header.data_offset + data_bytes == size && data_bytes == expected) {
    unsigned checksum = 0;
    for (std::uint64_t i = 0; i < data_bytes; ++i) checksum += static_cast<unsigned char>(file[header.data_offset + i]);
    FUZZ_CHECK(checksum <= data_bytes * 255);
  }

  // The writer's preamble for the same array reads back as the same header (only shapes the writer takes).
  if (header.shape.size() <= 32) {
    std::string preamble = vb::npy_preamble(header.type, header.shape);
    FUZZ_CHECK(preamble.size() % 64 == 0, "the written preamble is not aligned");
    FUZZ_CHECK(vb::npy_preamble_size(preamble.substr(0, vb::NPY_PREFIX_SIZE)) == preamble.size());
    vb::NpyHeader again = vb::parse_npy_preamble(preamble);
    FUZZ_CHECK(again.type == header.type && again.shape == header.shape && again.data_offset == preamble.size());
  }
  return 0;
}
