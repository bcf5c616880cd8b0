#include "velmora/page_advice.h"

#include <sys/mman.h>

#include <cstdint>

namespace velmora {

namespace {
constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{1} << 21;
// Smaller buffers come from the allocator's own heap, whose pages may already be in use.
constexpr std::size_t MIN_ADVISED_BYTES = 4 * HUGE_PAGE;
}  // namespace

void advise_huge_pages(const void* data, std::size_t bytes) {
  if (bytes < MIN_ADVISED_BYTES) return;
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(HUGE_PAGE - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace velmora
