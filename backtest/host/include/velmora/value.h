#pragma once

// The dynamic value of the SDK: null, bool, integer, float, text, list, and a map that keeps insertion order.
// Meta maps, store metadata, name-list input and decoded HTTP payloads are all Values. It is nlohmann's
// ordered JSON type, so integers and floats stay distinct and maps iterate in the order they were filled.

#include <nlohmann/json.hpp>

namespace velmora {

using Value = nlohmann::ordered_json;

}  // namespace velmora
