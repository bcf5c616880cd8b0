#include "velmora/backtest/matrix_dtype.h"

#include "vocabulary/argument_kinds.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest {

namespace {

OrderedMap<std::string> with_components(const std::vector<std::string>& names) {
  OrderedMap<std::string> dtype = BASE_MATRIX_DTYPE;
  for (const auto& name : names) dtype.set(component_dataset_key(name), FLOAT_STORAGE_DTYPE);
  return dtype;
}

}  // namespace

OrderedMap<std::string> build_matrix_dtype(const std::optional<std::vector<std::string>>& component_names) {
  return with_components(parse_name_list(component_names ? *component_names : get_component_factor_names()));
}

OrderedMap<std::string> build_matrix_dtype(const std::vector<std::string>& component_names) {
  return with_components(parse_name_list(component_names));
}

OrderedMap<std::string> build_matrix_dtype(const Value& component_names) {
  require_list_or_null(component_names, "component_names");
  if (component_names.is_null()) return build_matrix_dtype(std::nullopt);
  return with_components(parse_name_list(component_names));
}

}  // namespace velmora::backtest
