// velmora.backtest._depot: the benchmark data package.

#include <pybind11/pybind11.h>

#include "common/errors.h"
#include "depot/depot_bindings.h"

PYBIND11_MODULE(_depot, m) {
  velmora::python::register_error_translation();
  // Each docstring opens with its Python signature ("name(args)\n--\n\n"), which inspect.signature reads.
  pybind11::options options;
  options.disable_function_signatures();
  m.doc() = "The benchmark data package: download, safe extraction, flattening and packing; leftovers around a store.";
  pybind11::module_::import("velmora._http");  // registers HttpClient
  velmora::python::bind_depot(m);
  velmora::python::bind_package(m);
  velmora::python::bind_store_download(m);
  velmora::python::bind_store_leftovers(m);
}
