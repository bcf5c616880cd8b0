#pragma once

// The leftovers of both libraries' writers around a store, joined: the store's own (_prepare) and the
// package download's (_depot), which do not know each other.

#include <string>
#include <vector>

#include "velmora/store_leftovers.h"

namespace velmora::tool {

std::vector<LeftoverFinder> leftover_finders();

// "<path>: <kind>, <size>" for a listing.
std::string leftover_line(const StoreLeftover& leftover);

// "<count> leftovers, <size>" in all.
std::string leftover_total(const std::vector<StoreLeftover>& leftovers);

}  // namespace velmora::tool
