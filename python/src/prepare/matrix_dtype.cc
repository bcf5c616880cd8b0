// build_matrix_dtype: the store's dataset key → storage type map.

#include "velmora/backtest/matrix_dtype.h"

#include <pybind11/pybind11.h>

#include "common/argument_kinds.h"
#include "prepare/prepare_bindings.h"

namespace velmora::python {

void bind_matrix_dtype(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "build_matrix_dtype",
      [](py::handle component_names) {
        auto map = component_names.is_none()
                       ? backtest::build_matrix_dtype(std::nullopt)
                       : backtest::build_matrix_dtype(element_texts(component_names, "component_names"));
        py::dict out;
        for (const auto& [key, dtype] : map) out[py::str(key)] = py::str(dtype);
        return out;
      },
      "component_names"_a = py::none(),
      "build_matrix_dtype(component_names=None)\n--\n\nBASE_MATRIX_DTYPE followed by one 'float64' dataset per component name (None: the built-in names).");
}

}  // namespace velmora::python
