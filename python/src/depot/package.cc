// pack_store_archive: the publisher's side of the package.

#include "velmora/backtest/package.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include "depot/depot_bindings.h"

namespace velmora::python {

void bind_package(py::module_& m) {
  using namespace pybind11::literals;
  m.def("pack_store_archive", &backtest::pack_store_archive, "store_dir"_a, "archive"_a,
        py::call_guard<py::gil_scoped_release>(),
        "pack_store_archive(store_dir, archive)\n--\n\nPacks the store below `store_dir` (its manifest, metadata and the files the manifest lists, nothing else) into a new zip archive; returns the number of files.");
}

}  // namespace velmora::python
