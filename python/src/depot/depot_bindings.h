#pragma once

// The parts of velmora.backtest._depot, one per header they expose.

#include <pybind11/pybind11.h>

namespace velmora::python {

namespace py = pybind11;

void bind_depot(py::module_& m);
void bind_package(py::module_& m);
void bind_store_download(py::module_& m);
void bind_store_leftovers(py::module_& m);

}  // namespace velmora::python
