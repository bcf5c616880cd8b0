#pragma once

// The fixed vocabulary of prepared data: the factor names a build requests, the index-membership
// ("component") factors, the benchmark indexes, the storage type of every base matrix, and the version of
// the prepared-data layout. All constants are made once when the library loads and never change.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "velmora/backtest/ordered_map.h"
#include "velmora/backtest/prepare_export.h"
#include "velmora/value.h"

namespace velmora::backtest {

inline constexpr const char* FLOAT_STORAGE_DTYPE = "float64";
inline constexpr const char* BOOL_STORAGE_DTYPE = "bool";
inline constexpr int TAIL_RELOAD_ROWS = 2;
inline constexpr std::int64_t PREPARED_DATA_VERSION = 1;

// A store directory argument.
using PathLike = std::filesystem::path;

// The seven factors every build needs, in request order.
VELMORA_PREPARE_EXPORT extern const std::vector<std::string> REQUIRED_FACTOR_NAMES;
// Split coefficient, dividend and suspension flag: a build goes on without them.
VELMORA_PREPARE_EXPORT extern const std::vector<std::string> OPTIONAL_FACTOR_NAMES;
// REQUIRED_FACTOR_NAMES followed by OPTIONAL_FACTOR_NAMES.
VELMORA_PREPARE_EXPORT extern const std::vector<std::string> BUILD_INPUT_NAMES;
// The built-in index-membership factors; read them through get_component_factor_names().
VELMORA_PREPARE_EXPORT extern const std::vector<std::string> COMPONENT_FACTOR_NAMES;
// Benchmark short name → index code, in reading order ("000852" first).
VELMORA_PREPARE_EXPORT extern const OrderedMap<std::string> BENCHMARK_INDEX_CODES;
// Base dataset key → storage type name ("float64" or "bool"), in payload order.
VELMORA_PREPARE_EXPORT extern const OrderedMap<std::string> BASE_MATRIX_DTYPE;

// Turns a list of names given in any common form into clean names. `raw_values` is null (no names), a text
// (split at ",", "，", "；", ";" and line feeds) or a list (each element one name; numbers and other values
// take their text form). Every name is stripped of surrounding Unicode white space; empty names are dropped;
// order and duplicates are kept. Any other kind of value throws TypeError.
VELMORA_PREPARE_EXPORT std::vector<std::string> parse_name_list(const Value& raw_values);
VELMORA_PREPARE_EXPORT std::vector<std::string> parse_name_list(const std::vector<std::string>& raw_values);

// The built-in component factor names, as a new list on every call.
VELMORA_PREPARE_EXPORT std::vector<std::string> get_component_factor_names();

// The text form of a dynamic value as Python's str() writes it: texts unchanged, 1 → "1", 1.5 → "1.5",
// true → "True", null → "None".
VELMORA_PREPARE_EXPORT std::string value_text(const Value& value);

}  // namespace velmora::backtest
