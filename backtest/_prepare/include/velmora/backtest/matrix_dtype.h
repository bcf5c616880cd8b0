#pragma once

// The matrix dtype map of a store: every dataset the store holds as a matrix, with its storage type name.
// It is BASE_MATRIX_DTYPE (the twelve base datasets, in their order) followed by one "float64" dataset per
// index-membership (component) factor, under component_dataset_key(name), in the order of the names.

#include <optional>
#include <string>
#include <vector>

#include "velmora/backtest/ordered_map.h"
#include "velmora/backtest/prepare_export.h"
#include "velmora/value.h"

namespace velmora::backtest {

// A new map on every call. `component_names` nothing means the built-in names (get_component_factor_names);
// an empty list means none. Names go through parse_name_list: stripped, empty ones dropped; a name whose key
// is present already keeps its position.
VELMORA_PREPARE_EXPORT OrderedMap<std::string> build_matrix_dtype(
    const std::optional<std::vector<std::string>>& component_names = std::nullopt);

VELMORA_PREPARE_EXPORT OrderedMap<std::string> build_matrix_dtype(const std::vector<std::string>& component_names);

// The same for a dynamic value: null or a list. Throws TypeError for any other kind (a text included).
VELMORA_PREPARE_EXPORT OrderedMap<std::string> build_matrix_dtype(const Value& component_names);

}  // namespace velmora::backtest
