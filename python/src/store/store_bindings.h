#pragma once

// The parts of velmora.backtest._store, one per header they expose.

#include <pybind11/pybind11.h>


namespace velmora::python {

namespace py = pybind11;

void bind_store_base(py::module_& m);
void bind_store_helpers(py::module_& m);
void bind_interruption(py::module_& m);

}  // namespace velmora::python
