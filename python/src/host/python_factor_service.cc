#include "host/python_factor_service.h"

#include <pybind11/stl.h>

#include "common/query_tables.h"

namespace velmora::python {

namespace {
py::object optional_text(const std::optional<std::string>& text) {
  return text ? py::object(py::str(*text)) : py::object(py::none());
}
}  // namespace

PythonFactorService::PythonFactorService(py::object service) : service_(std::move(service)) {}

PythonFactorService::~PythonFactorService() {
  if (!Py_IsInitialized() || _Py_IsFinalizing()) {
    service_.release();  // the interpreter is gone: leave the reference
    return;
  }
  py::gil_scoped_acquire gil;
  service_ = py::object();
}

std::optional<QueryTable> PythonFactorService::get_factors(const FactorSelection& factor,
                                                           const std::optional<std::string>& start_date,
                                                           const std::optional<std::string>& end_date) {
  py::gil_scoped_acquire gil;
  py::object selection = std::holds_alternative<std::string>(factor)
                             ? py::object(py::str(std::get<std::string>(factor)))
                             : py::object(py::cast(std::get<std::vector<std::string>>(factor)));
  py::object answer = service_.attr("get_factors")(py::arg("factor") = selection,
                                                   py::arg("start_date") = optional_text(start_date),
                                                   py::arg("end_date") = optional_text(end_date));
  return to_query_table(answer);
}

std::optional<QueryTable> PythonFactorService::get_index_daily(const std::vector<std::string>& order_book_ids,
                                                               const std::optional<std::string>& start_date,
                                                               const std::optional<std::string>& end_date) {
  py::gil_scoped_acquire gil;
  py::object answer = service_.attr("get_index_daily")(py::arg("order_book_ids") = py::cast(order_book_ids),
                                                       py::arg("start_date") = optional_text(start_date),
                                                       py::arg("end_date") = optional_text(end_date));
  return to_query_table(answer);
}

bool is_factor_service(py::handle object) {
  return py::hasattr(object, "get_factors") && py::hasattr(object, "get_index_daily");
}

}  // namespace velmora::python
