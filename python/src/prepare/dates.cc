// Date forms: series_to_yyyymmdd.

#include "velmora/backtest/dates.h"

#include <pybind11/pybind11.h>

#include "common/values.h"
#include "prepare/prepare_bindings.h"

namespace velmora::python {

namespace {

// A value as series_to_yyyymmdd reads it: texts and integers as they are, date-times as their ISO text,
// everything else missing.
Value date_like(py::handle item, py::handle timestamp) {
  PyObject* raw = item.ptr();
  if (PyUnicode_Check(raw)) return item.cast<std::string>();
  if (PyBool_Check(raw)) return nullptr;
  if (PyLong_Check(raw) || PyFloat_Check(raw)) return to_value(item);
  if (PyObject_HasAttrString(raw, "dtype") && PyObject_HasAttrString(raw, "item") &&
      item.attr("dtype").attr("kind").cast<std::string>() != "M") {
    return date_like(item.attr("item")(), timestamp);  // a numpy number: as the Python number it holds
  }
  if (PyObject_HasAttrString(raw, "isoformat") || PyObject_HasAttrString(raw, "dtype")) {
    try {
      py::object stamp = timestamp(item);
      if (stamp.attr("__class__").attr("__name__").cast<std::string>() == "NaTType") return nullptr;
      return stamp.attr("isoformat")().cast<std::string>();
    } catch (const py::error_already_set&) {
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace

void bind_dates(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "series_to_yyyymmdd",
      [](py::handle values) {
        py::module_ pandas = py::module_::import("pandas");
        py::object timestamp = pandas.attr("Timestamp");
        const bool labelled = py::isinstance(values, pandas.attr("Series"));
        std::vector<Value> items;
        for (py::handle item : values) items.push_back(date_like(item, timestamp));
        backtest::TextSeries texts = backtest::series_to_yyyymmdd(items);
        py::list out(texts.values.size());
        for (std::size_t i = 0; i < texts.values.size(); ++i)
          out[i] = texts.values[i] ? py::object(py::str(*texts.values[i])) : py::object(py::none());
        if (labelled)
          return pandas.attr("Series")(out, py::arg("index") = values.attr("index"), py::arg("name") = values.attr("name"),
                                       py::arg("dtype") = "object");
        return pandas.attr("Series")(out, py::arg("dtype") = "object");
      },
      "values"_a,
      "series_to_yyyymmdd(values)\n--\n\n'YYYYMMDD' texts for every value that reads as a date (a date text, an eight-digit integer, a "
      "date-time), None elsewhere, as a Series with the input's labels.");
}

}  // namespace velmora::python
