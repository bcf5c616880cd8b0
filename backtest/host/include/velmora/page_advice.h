#pragma once

// Large buffers about to be filled for the first time: the first write to each page of fresh memory costs a
// fault, and on virtual machines a fault costs microseconds. Backing a buffer with huge pages makes that one
// fault per 2 MiB instead of one per 4 KiB, which for a matrix of millions of cells is the difference
// between filling it and waiting on the kernel. Only advice: where huge pages are off, nothing changes.

#include <cstddef>

#include "velmora/host_export.h"

namespace velmora {

// Advises huge pages for the whole 2 MiB pages inside [data, data + bytes). Call before the first write;
// buffers below a few huge pages are left alone.
VELMORA_HOST_EXPORT void advise_huge_pages(const void* data, std::size_t bytes);

// Room for `count` elements in `values`, advised as above: for a vector about to be filled.
template <typename Vector>
void reserve_advised(Vector& values, std::size_t count) {
  values.reserve(count);
  advise_huge_pages(values.data(), values.capacity() * sizeof(typename Vector::value_type));
}

}  // namespace velmora
