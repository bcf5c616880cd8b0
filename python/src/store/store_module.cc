// velmora.backtest._store: the binary prepared-data store base and its helpers.

#include <pybind11/pybind11.h>

#include "common/errors.h"
#include "store/store_bindings.h"

PYBIND11_MODULE(_store, m) {
  velmora::python::register_error_translation();
  // Each docstring opens with its Python signature ("name(args)\n--\n\n"), which inspect.signature reads.
  // A method's (__init__ included, the class's own docstring then unread) starts with a plain `self`, not
  // `$self`: a pybind11 function's __self__ is a capsule, so inspect would drop `$self` as already bound.
  pybind11::options options;
  options.disable_function_signatures();
  m.doc() = "The binary prepared-data store base and its helpers.";
  velmora::python::bind_store_base(m);
  velmora::python::bind_store_helpers(m);
  velmora::python::bind_interruption(m);
}
