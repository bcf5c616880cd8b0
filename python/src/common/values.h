#pragma once

// Plain values across the boundary: the SDK's dynamic Value (null, bool, integer, float, text, list, ordered
// map) and the Python objects of the same kinds. Maps keep their order both ways.

#include <pybind11/pybind11.h>

#include "velmora/value.h"

namespace velmora::python {

namespace py = pybind11;

py::object to_python(const Value& value);

// None, bool, int, float, str, list, tuple (as a list) and dict (keys as their str()), numpy scalars included.
// TypeError for any other kind.
Value to_value(py::handle object);

}  // namespace velmora::python
