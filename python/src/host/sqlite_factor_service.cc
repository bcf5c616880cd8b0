// velmora.sqlite_factor_service: the embedded factor service over a SQLite database file.

#include "velmora/sqlite_factor_service.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "common/errors.h"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(sqlite_factor_service, m) {
  using namespace velmora;
  python::register_error_translation();
  // Each docstring opens with its Python signature ("name(args)\n--\n\n"), which inspect.signature reads.
  // A method's (__init__ included, the class's own docstring then unread) starts with a plain `self`, not
  // `$self`: a pybind11 function's __self__ is a capsule, so inspect would drop `$self` as already bound.
  pybind11::options options;
  options.disable_function_signatures();
  m.doc() = "The embedded factor service: answers from a SQLite factor database.";
  py::module_::import("velmora.singleton");  // registers the FactorService base

  py::enum_<TableScan>(m, "TableScan",
                       "Whether a request is read by one pass over the whole table instead of through the "
                       "(factor, date) index: when it selects a large share of the table (automatic), "
                       "wherever the table allows it (always), or never. The answers are the same.")
      .value("automatic", TableScan::automatic)
      .value("always", TableScan::always)
      .value("never", TableScan::never);

  py::class_<SqliteFactorService, FactorService, std::shared_ptr<SqliteFactorService>>(
      m, "SqliteFactorService",
      "Answers factor and index queries from a SQLite database (tables factor_values and index_daily). "
      "Install it with velmora.singleton.set_instance(); builds then read it without the GIL. `table_scan` "
      "None is TableScan.automatic.")
      .def(py::init([](const std::filesystem::path& path, std::size_t read_threads, std::optional<TableScan> table_scan) {
             py::gil_scoped_release release;
             return std::make_shared<SqliteFactorService>(path, read_threads, table_scan.value_or(TableScan::automatic));
           }),
           "path"_a, "read_threads"_a = 0, "table_scan"_a = py::none(),
           "__init__(self, path, read_threads=0, table_scan=None)\n--\n\n")
      .def("__repr__", [](const SqliteFactorService& self) {
        return "SqliteFactorService(" + py::repr(py::str(self.path().string())).cast<std::string>() + ")";
      })
      .def_property_readonly("path", &SqliteFactorService::path);
}
