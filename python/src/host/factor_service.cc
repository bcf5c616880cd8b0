// velmora.singleton: the process's factor service, get_instance() and set_instance(service), and the
// FactorService base that the services of the C++ library share.

#include "velmora/factor_service.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/argument_kinds.h"
#include "common/errors.h"
#include "common/messages.h"
#include "common/query_tables.h"
#include "host/python_factor_service.h"
#include "velmora/errors.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace velmora::python {
namespace {

py::object service_object(const std::shared_ptr<FactorService>& service) {
  if (!service) return py::none();
  if (auto python = std::dynamic_pointer_cast<PythonFactorService>(service)) return python->object();
  return py::cast(service);
}

FactorSelection selection_of(py::handle factor) {
  if (PyUnicode_Check(factor.ptr())) return factor.cast<std::string>();
  return require_text_list(factor, "factor");
}

}  // namespace
}  // namespace velmora::python

PYBIND11_MODULE(singleton, m) {
  using namespace velmora;
  using namespace velmora::python;
  register_error_translation();
  // Each docstring opens with its Python signature ("name(args)\n--\n\n"), which inspect.signature reads.
  // A method's (__init__ included, the class's own docstring then unread) starts with a plain `self`, not
  // `$self`: a pybind11 function's __self__ is a capsule, so inspect would drop `$self` as already bound.
  pybind11::options options;
  options.disable_function_signatures();
  m.doc() = "The process's factor service: the one the builder reads through.";

  py::class_<FactorService, std::shared_ptr<FactorService>>(m, "FactorService",
                                                              "A factor service of the C++ library.")
      .def(
          "get_factors",
          [](FactorService& self, py::handle factor, py::handle start_date, py::handle end_date) {
            FactorSelection selection = selection_of(factor);
            auto start = optional_text(start_date, "start_date");
            auto end = optional_text(end_date, "end_date");
            std::optional<QueryTable> answer;
            {
              py::gil_scoped_release release;
              answer = self.get_factors(selection, start, end);
            }
            return answer ? to_frame(*answer) : py::object(py::none());
          },
          py::kw_only(), "factor"_a, "start_date"_a = py::none(), "end_date"_a = py::none(),
          "get_factors(self, /, *, factor, start_date=None, end_date=None)\n--\n\nThe rows of the selected factors (a name, or a list of names) as a DataFrame, or None.")
      .def(
          "get_index_daily",
          [](FactorService& self, py::handle order_book_ids, py::handle start_date, py::handle end_date) {
            auto codes = require_text_list(order_book_ids, "order_book_ids");
            auto start = optional_text(start_date, "start_date");
            auto end = optional_text(end_date, "end_date");
            std::optional<QueryTable> answer;
            {
              py::gil_scoped_release release;
              answer = self.get_index_daily(codes, start, end);
            }
            return answer ? to_frame(*answer) : py::object(py::none());
          },
          py::kw_only(), "order_book_ids"_a, "start_date"_a = py::none(), "end_date"_a = py::none(),
          "get_index_daily(self, /, *, order_book_ids, start_date=None, end_date=None)\n--\n\n"
          "The daily rows of the given index codes as a DataFrame, or None.");

  m.def(
      "get_instance", [] { return service_object(get_instance()); },
      "get_instance()\n--\n\nThe installed factor service. Raises VelmoraError when none is installed.");
  m.def(
      "set_instance",
      [](py::object service) {
        std::shared_ptr<FactorService> installed;
        if (py::isinstance<FactorService>(service)) {
          installed = service.cast<std::shared_ptr<FactorService>>();
        } else if (!service.is_none()) {
          if (!is_factor_service(service)) throw TypeError(messages::NOT_A_SERVICE + type_name(service));
          installed = std::make_shared<PythonFactorService>(service);
        }
        return service_object(set_instance(std::move(installed)));
      },
      "service"_a,
      "set_instance(service)\n--\n\nInstalls `service` for the whole process (None uninstalls) and returns the one it replaces. A service "
      "is a service of this library or any object with get_factors and get_index_daily answering a "
      "pandas.DataFrame or None.");

  // A Python service must not outlive the interpreter inside the C++ library.
  py::module_::import("atexit").attr("register")(py::cpp_function([] { set_instance(nullptr); }));
}
