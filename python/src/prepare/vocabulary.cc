// The module vocabulary: constants, parse_name_list and get_component_factor_names.

#include "velmora/backtest/vocabulary.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/argument_kinds.h"
#include "common/messages.h"
#include "prepare/prepare_bindings.h"
#include "velmora/errors.h"

namespace velmora::python {

namespace {
py::dict text_map(const backtest::OrderedMap<std::string>& map) {
  py::dict out;
  for (const auto& [key, value] : map) out[py::str(key)] = py::str(value);
  return out;
}
}  // namespace

std::vector<std::string> element_texts(py::handle values, const char* argument) {
  require_list(values, argument);
  std::vector<std::string> texts;
  for (py::handle item : values) texts.push_back(py::str(item).cast<std::string>());
  return texts;
}

std::vector<std::string> name_list(py::handle raw_values) {
  if (raw_values.is_none()) return {};
  if (PyUnicode_Check(raw_values.ptr())) return backtest::parse_name_list(Value(raw_values.cast<std::string>()));
  if (PyDict_Check(raw_values.ptr()) || !PySequence_Check(raw_values.ptr()))
    throw TypeError(messages::NAME_LIST_KIND + type_name(raw_values));
  std::vector<std::string> texts;
  for (py::handle item : raw_values) texts.push_back(py::str(item).cast<std::string>());
  return backtest::parse_name_list(texts);
}

void bind_vocabulary(py::module_& m) {
  using namespace pybind11::literals;
  m.attr("FLOAT_STORAGE_DTYPE") = backtest::FLOAT_STORAGE_DTYPE;
  m.attr("BOOL_STORAGE_DTYPE") = backtest::BOOL_STORAGE_DTYPE;
  m.attr("TAIL_RELOAD_ROWS") = backtest::TAIL_RELOAD_ROWS;
  m.attr("PREPARED_DATA_VERSION") = backtest::PREPARED_DATA_VERSION;
  m.attr("PathLike") = py::module_::import("typing").attr("Union")[py::make_tuple(
      py::module_::import("builtins").attr("str"), py::module_::import("os").attr("PathLike"))];
  m.attr("REQUIRED_FACTOR_NAMES") = py::cast(backtest::REQUIRED_FACTOR_NAMES);
  m.attr("OPTIONAL_FACTOR_NAMES") = py::cast(backtest::OPTIONAL_FACTOR_NAMES);
  m.attr("BUILD_INPUT_NAMES") = py::cast(backtest::BUILD_INPUT_NAMES);
  m.attr("COMPONENT_FACTOR_NAMES") = py::cast(backtest::COMPONENT_FACTOR_NAMES);
  m.attr("BENCHMARK_INDEX_CODES") = text_map(backtest::BENCHMARK_INDEX_CODES);
  m.attr("BASE_MATRIX_DTYPE") = text_map(backtest::BASE_MATRIX_DTYPE);

  m.def("parse_name_list", &name_list, "raw_values"_a,
        "parse_name_list(raw_values)\n--\n\nClean names from None, a text (split at ',', '，', '；', ';' and line feeds) or a sequence (each "
        "element's str() one name): stripped, empty ones dropped, order and duplicates kept.");
  m.def("get_component_factor_names", &backtest::get_component_factor_names,
        "get_component_factor_names()\n--\n\nThe built-in index-membership factor names, as a new list on every call.");
}

}  // namespace velmora::python
