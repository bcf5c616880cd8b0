#pragma once

// The parts of velmora.backtest._prepare, one per header they expose.

#include <string>
#include <vector>

#include <pybind11/pybind11.h>

namespace velmora::python {

namespace py = pybind11;

void bind_vocabulary(py::module_& m);
void bind_dates(py::module_& m);
void bind_matrix_dtype(py::module_& m);
void bind_builder(py::module_& m);
void bind_store(py::module_& m);
void bind_store_build(py::module_& m);
void bind_store_supplement(py::module_& m);
void bind_store_update(py::module_& m);

// The names of a name-list argument, as parse_name_list takes them: a text is split at the separators, the
// elements of any other sequence take their str(); None gives none. TypeError for anything else.
std::vector<std::string> name_list(py::handle raw_values);
// The str() of every element of a list (TypeError when `values` is not a list).
std::vector<std::string> element_texts(py::handle values, const char* argument);

}  // namespace velmora::python
