#include "common/argument_kinds.h"

#include "common/messages.h"
#include "velmora/errors.h"

namespace velmora::python {

namespace {
[[noreturn]] void wrong_kind(py::handle value, const char* argument, const char* must_be) {
  throw TypeError(std::string(argument) + must_be + type_name(value));
}
// pandas.NaT is a datetime.datetime that has no date to format; like NaN, it is the one value that differs
// from itself, which tells it apart without importing pandas. (PyObject_RichCompareBool would take the
// identity shortcut, hence the full comparison.)
bool is_missing(py::handle value) {
  auto differs = py::reinterpret_steal<py::object>(PyObject_RichCompare(value.ptr(), value.ptr(), Py_NE));
  if (!differs) throw py::error_already_set();
  const int truth = PyObject_IsTrue(differs.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}
}  // namespace

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

std::string require_text(py::handle value, const char* argument) {
  if (!PyUnicode_Check(value.ptr())) wrong_kind(value, argument, messages::MUST_BE_TEXT);
  return value.cast<std::string>();
}

std::optional<std::string> optional_text(py::handle value, const char* argument) {
  if (value.is_none()) return std::nullopt;
  if (!PyUnicode_Check(value.ptr())) wrong_kind(value, argument, messages::MUST_BE_TEXT_OR_NONE);
  return value.cast<std::string>();
}

py::object date_argument(py::handle value) {
  PyObject* raw = value.ptr();
  if (PyBool_Check(raw)) return py::reinterpret_borrow<py::object>(value);  // True is no date
  if (py::isinstance(value, py::module_::import("numbers").attr("Integral"))) return py::str(py::int_(py::reinterpret_borrow<py::object>(value)));
  py::module_ datetime = py::module_::import("datetime");
  if (py::isinstance(value, datetime.attr("date"))) {
    if (is_missing(value)) return py::reinterpret_borrow<py::object>(value);
    return value.attr("strftime")("%Y%m%d");
  }
  py::module_ numpy = py::module_::import("numpy");
  if (py::isinstance(value, numpy.attr("datetime64")) && !numpy.attr("isnat")(value).cast<bool>())
    return numpy.attr("datetime_as_string")(value, py::arg("unit") = "D");
  return py::reinterpret_borrow<py::object>(value);
}

void require_list(py::handle value, const char* argument) {
  if (!PyList_Check(value.ptr())) wrong_kind(value, argument, messages::MUST_BE_LIST);
}

std::vector<std::string> require_text_list(py::handle value, const char* argument) {
  require_list(value, argument);
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(value.ptr())));
  for (py::handle item : value) {
    if (!PyUnicode_Check(item.ptr())) wrong_kind(item, argument, messages::MUST_HOLD_TEXTS);
    texts.push_back(item.cast<std::string>());
  }
  return texts;
}

std::optional<std::vector<std::string>> optional_text_list(py::handle value, const char* argument) {
  if (value.is_none()) return std::nullopt;
  if (!PyList_Check(value.ptr())) wrong_kind(value, argument, messages::MUST_BE_LIST_OR_NONE);
  return require_text_list(value, argument);
}

void require_dict(py::handle value, const char* argument) {
  if (!PyDict_Check(value.ptr())) wrong_kind(value, argument, messages::MUST_BE_DICT);
}

bool none_or_dict(py::handle value, const char* argument) {
  if (value.is_none()) return true;
  if (!PyDict_Check(value.ptr())) wrong_kind(value, argument, messages::MUST_BE_DICT_OR_NONE);
  return false;
}

}  // namespace velmora::python
