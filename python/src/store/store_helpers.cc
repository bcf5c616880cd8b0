// The store module's helpers: normalize_yyyymmdd, component_dataset_key and clean_matrix.

#include "velmora/backtest/store_helpers.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/argument_kinds.h"
#include "common/frames.h"
#include "store/store_bindings.h"

namespace velmora::python {

void bind_store_helpers(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "normalize_yyyymmdd",
      [](py::handle value) { return backtest::normalize_yyyymmdd(optional_text(value, "value")); }, "value"_a,
      "normalize_yyyymmdd(value)\n--\n\n'YYYYMMDD' of a date text ('YYYYMMDD', 'YYYY-MM-DD' or 'YYYY/MM/DD', a time of day allowed); None for "
      "None. ValueError for any other text.");
  m.def(
      "component_dataset_key",
      [](py::handle name) { return backtest::component_dataset_key(require_text(name, "component_name")); },
      "component_name"_a, "component_dataset_key(component_name)\n--\n\nThe dataset key of a component factor's membership mask.");
  m.def(
      "clean_matrix", [](py::handle matrix) { return to_frame(backtest::clean_matrix(to_matrix(matrix, "matrix"))); },
      "matrix"_a, "clean_matrix(matrix)\n--\n\nThe matrix a freshly pivoted factor matrix is kept as (itself).");
}

}  // namespace velmora::python
