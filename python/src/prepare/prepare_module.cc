// velmora.backtest._prepare: the builder, the component-aware store and the vocabulary.

#include <pybind11/pybind11.h>

#include "common/errors.h"
#include "prepare/prepare_bindings.h"

PYBIND11_MODULE(_prepare, m) {
  namespace py = pybind11;
  velmora::python::register_error_translation();
  // Each docstring opens with its Python signature ("name(args)\n--\n\n"), which inspect.signature reads.
  // A method's (__init__ included, the class's own docstring then unread) starts with a plain `self`, not
  // `$self`: a pybind11 function's __self__ is a capsule, so inspect would drop `$self` as already bound.
  pybind11::options options;
  options.disable_function_signatures();
  m.doc() = "Prepared data: GroupPreparedDataBuilder, BinaryPreparedDataStore and the module vocabulary.";
  // The names bound from the host modules; a failure to bind any of them fails the import.
  py::module_ store = py::module_::import("velmora.backtest._store");
  for (const char* name : {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key", "normalize_yyyymmdd"})
    m.attr(name) = store.attr(name);
  m.attr("get_instance") = py::module_::import("velmora.singleton").attr("get_instance");

  velmora::python::bind_vocabulary(m);
  velmora::python::bind_dates(m);
  velmora::python::bind_matrix_dtype(m);
  velmora::python::bind_builder(m);
  velmora::python::bind_store(m);
  velmora::python::bind_store_build(m);
  velmora::python::bind_store_supplement(m);
  velmora::python::bind_store_update(m);
}
