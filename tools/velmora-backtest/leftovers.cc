#include "leftovers.h"

#include <cstdio>

#include "velmora/backtest/download_leftovers.h"
#include "velmora/backtest/store_leftovers.h"

namespace velmora::tool {

namespace {

std::string size_text(std::uintmax_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double size = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  for (; size >= 1024 && unit + 1 < std::size(units); ++unit) size /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", size, units[unit]);
  return text;
}

}  // namespace

std::vector<LeftoverFinder> leftover_finders() {
  return {backtest::store_write_leftovers, backtest::download_leftovers};
}

std::string leftover_line(const StoreLeftover& leftover) {
  return leftover.path.string() + ": " + leftover.kind + ", " + size_text(leftover.bytes);
}

std::string leftover_total(const std::vector<StoreLeftover>& leftovers) {
  std::uintmax_t bytes = 0;
  for (const auto& leftover : leftovers) bytes += leftover.bytes;
  return std::to_string(leftovers.size()) + (leftovers.size() == 1 ? " leftover, " : " leftovers, ") +
         size_text(bytes);
}

}  // namespace velmora::tool
