#include "common/query_tables.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pybind11/numpy.h>

#include "common/argument_kinds.h"
#include "common/messages.h"
#include "velmora/column_builder.h"
#include "velmora/errors.h"

namespace velmora::python {

namespace {

constexpr std::int64_t NAT = std::numeric_limits<std::int64_t>::min();

py::module_ numpy() { return py::module_::import("numpy"); }

template <typename T>
py::array_t<T, py::array::c_style> contiguous(py::object values) {
  return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(numpy().attr("ascontiguousarray")(values));
}

// Floor division of nanoseconds into microseconds, so that times before 1970 round like pandas does.
std::int64_t micros_of(std::int64_t nanos) {
  std::int64_t micros = nanos / 1000;
  if (nanos % 1000 < 0) --micros;
  return micros;
}

// The missing markers of an object column: None, float NaN, pd.NA and pd.NaT.
struct MissingMarkers {
  PyObject* na;
  PyObject* nat;
  bool is_missing(PyObject* item) const {
    return item == Py_None || item == na || item == nat || (PyFloat_CheckExact(item) && std::isnan(PyFloat_AS_DOUBLE(item)));
  }
};

// Dictionary encoding of texts by object pointer first (a direct-mapped cache of recent objects), then by
// content. Object columns repeat the same str objects a great deal (pandas and the user's own code share
// them), so most cells cost one pointer comparison.
class TextEncoder {
 public:
  TextEncoder() : cache_(CACHE_SIZE) {}

  // The code of the str `item`.
  std::int32_t code(PyObject* item) {
    Slot& slot = cache_[(reinterpret_cast<std::uintptr_t>(item) >> 4) & (CACHE_SIZE - 1)];
    if (slot.object == item) return slot.code;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) throw py::error_already_set();
    std::string_view text(utf8, static_cast<std::size_t>(size));
    auto found = codes_.find(text);
    std::int32_t code;
    if (found != codes_.end()) {
      code = found->second;
    } else {
      code = static_cast<std::int32_t>(texts_.size());
      texts_.emplace_back(text);
      codes_.emplace(texts_.back(), code);
    }
    slot = {item, code};
    return code;
  }

  std::vector<std::string> dictionary() && { return {std::make_move_iterator(texts_.begin()), std::make_move_iterator(texts_.end())}; }

 private:
  static constexpr std::size_t CACHE_SIZE = std::size_t{1} << 16;
  struct Slot {
    PyObject* object = nullptr;
    std::int32_t code = -1;
  };
  std::vector<Slot> cache_;
  std::deque<std::string> texts_;  // stable addresses for the views in codes_
  std::unordered_map<std::string_view, std::int32_t> codes_;
};

Column float_column(py::handle series) {
  auto values = contiguous<double>(series.attr("to_numpy")(py::arg("dtype") = "float64"));
  const auto n = static_cast<std::size_t>(values.size());
  std::vector<double> cells(values.data(), values.data() + n);
  std::vector<std::uint8_t> valid;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(cells[i])) {
      if (valid.empty()) valid.assign(n, 1);
      valid[i] = 0;
    }
  }
  return Column::float64(std::move(cells), std::move(valid));
}

Column integer_column(py::handle series) {
  auto values = contiguous<std::int64_t>(series.attr("to_numpy")(py::arg("dtype") = "int64"));
  return Column::int64(std::vector<std::int64_t>(values.data(), values.data() + values.size()));
}

Column datetime_column(py::handle series) {
  py::object naive = py::hasattr(series.attr("dtype"), "tz") ? series.attr("dt").attr("tz_localize")(py::none())
                                                             : py::reinterpret_borrow<py::object>(series);
  py::object nanos = naive.attr("to_numpy")(py::arg("dtype") = "datetime64[ns]").attr("view")("int64");
  auto values = contiguous<std::int64_t>(nanos);
  const auto n = static_cast<std::size_t>(values.size());
  std::vector<std::int64_t> micros(n);
  std::vector<std::uint8_t> valid;
  for (std::size_t i = 0; i < n; ++i) {
    if (values.data()[i] == NAT) {
      if (valid.empty()) valid.assign(n, 1);
      valid[i] = 0;
    } else {
      micros[i] = micros_of(values.data()[i]);
    }
  }
  return Column::datetime(std::move(micros), std::move(valid));
}

// One cell of an object column that is not (only) texts, keeping its kind.
void append_object(ColumnBuilder& builder, py::handle item, const MissingMarkers& missing, py::handle timestamp) {
  PyObject* raw = item.ptr();
  if (missing.is_missing(raw)) return builder.append_missing();
  if (PyUnicode_Check(raw)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(raw, &size);
    if (utf8 == nullptr) throw py::error_already_set();
    return builder.append_text(std::string_view(utf8, static_cast<std::size_t>(size)));
  }
  if (PyBool_Check(raw)) return builder.append_int(raw == Py_True ? 1 : 0);
  if (PyLong_Check(raw)) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(raw, &overflow);
    if (overflow == 0) return builder.append_int(number);
    return builder.append_double(PyLong_AsDouble(raw));
  }
  if (PyFloat_Check(raw)) return builder.append_double(PyFloat_AS_DOUBLE(raw));
  if (py::isinstance(item, timestamp) || PyObject_HasAttrString(raw, "isoformat")) {
    py::object stamp = timestamp(item);
    if (stamp.ptr() == missing.nat) return builder.append_missing();
    return builder.append_datetime(DateTime{micros_of(stamp.attr("value").cast<std::int64_t>())});
  }
  if (PyObject_HasAttrString(raw, "item") && PyObject_HasAttrString(raw, "dtype")) {  // numpy scalar
    return append_object(builder, item.attr("item")(), missing, timestamp);
  }
  builder.append_text(py::str(item).cast<std::string>());
}

Column object_column(py::handle series, const MissingMarkers& missing, py::handle timestamp) {
  py::array objects = numpy().attr("ascontiguousarray")(series.attr("to_numpy")(py::arg("dtype") = "object"));
  const auto n = static_cast<std::size_t>(objects.size());
  auto* const* items = static_cast<PyObject* const*>(objects.data());

  // The usual case: texts and missing cells only.
  TextEncoder encoder;
  std::vector<std::int32_t> codes(n);
  bool texts_only = true;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (PyUnicode_Check(item)) {
      codes[i] = encoder.code(item);
    } else if (missing.is_missing(item)) {
      codes[i] = -1;
    } else {
      texts_only = false;
      break;
    }
  }
  if (texts_only) return Column::text(std::move(codes), std::move(encoder).dictionary());

  ColumnBuilder builder;
  builder.reserve(n);
  for (std::size_t i = 0; i < n; ++i) append_object(builder, items[i], missing, timestamp);
  return builder.finish();
}

Column categorical_column(py::handle series, const MissingMarkers& missing, py::handle timestamp) {
  py::object categories = series.attr("cat").attr("categories");
  if (categories.attr("inferred_type").cast<std::string>() != "string")
    return object_column(series.attr("astype")("object"), missing, timestamp);
  std::vector<std::string> dictionary;
  dictionary.reserve(py::len(categories));
  for (py::handle category : categories) dictionary.push_back(category.cast<std::string>());
  auto codes = contiguous<std::int32_t>(series.attr("cat").attr("codes").attr("to_numpy")(py::arg("dtype") = "int32"));
  return Column::text(std::vector<std::int32_t>(codes.data(), codes.data() + codes.size()), std::move(dictionary));
}

Column to_column(py::handle series, const MissingMarkers& missing, py::handle pandas) {
  py::object dtype = series.attr("dtype");
  py::object timestamp = pandas.attr("Timestamp");
  if (py::isinstance(dtype, pandas.attr("CategoricalDtype"))) return categorical_column(series, missing, timestamp);
  const std::string kind = dtype.attr("kind").cast<std::string>();
  if (kind == "f") return float_column(series);
  if (kind == "i" || kind == "u" || kind == "b") {
    if (series.attr("hasnans").cast<bool>()) return float_column(series);  // nullable integers with <NA>
    return integer_column(series);
  }
  if (kind == "M") return datetime_column(series);
  return object_column(series, missing, timestamp);
}

}  // namespace

std::optional<QueryTable> to_query_table(py::handle answer) {
  if (answer.is_none()) return std::nullopt;
  py::module_ pandas = py::module_::import("pandas");
  if (!py::isinstance(answer, pandas.attr("DataFrame"))) throw TypeError(messages::SERVICE_ANSWER + type_name(answer));
  MissingMarkers missing{pandas.attr("NA").ptr(), pandas.attr("NaT").ptr()};
  py::list names = answer.attr("columns").attr("tolist")();
  py::object by_position = answer.attr("iloc");
  auto every_row = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
  std::vector<std::pair<std::string, Column>> columns;
  columns.reserve(py::len(names));
  for (std::size_t i = 0; i < py::len(names); ++i) {
    std::string name = py::str(names[i]).cast<std::string>();
    Column column = to_column(by_position[py::make_tuple(every_row, i)], missing, pandas);
    auto same = std::find_if(columns.begin(), columns.end(), [&](const auto& entry) { return entry.first == name; });
    if (same != columns.end()) {
      same->second = std::move(column);
    } else {
      columns.emplace_back(std::move(name), std::move(column));
    }
  }
  return QueryTable(std::move(columns));
}

namespace {

py::object cell_object(const Cell& cell, py::handle timestamp) {
  if (const auto* number = std::get_if<double>(&cell)) return py::float_(*number);
  if (const auto* integer = std::get_if<std::int64_t>(&cell)) return py::int_(*integer);
  if (const auto* text = std::get_if<std::string>(&cell)) return py::str(*text);
  if (const auto* time = std::get_if<DateTime>(&cell)) return timestamp(time->micros, py::arg("unit") = "us");
  return py::none();
}

py::array object_array(std::size_t n) {
  return numpy().attr("full")(n, py::none(), py::arg("dtype") = "object");
}

void set_item(py::array& objects, std::size_t i, py::handle item) {
  auto** items = static_cast<PyObject**>(objects.mutable_data());
  Py_INCREF(item.ptr());
  Py_XDECREF(items[i]);
  items[i] = item.ptr();
}

py::object column_values(const Column& column, py::handle timestamp) {
  const std::size_t n = column.size();
  switch (column.type()) {
    case ColumnType::float64: {
      auto values = column.float64_values();
      return py::array_t<double>(static_cast<py::ssize_t>(n), values.data());
    }
    case ColumnType::int64: {
      auto values = column.int64_values();
      auto valid = column.validity();
      bool complete = valid.empty() || std::all_of(valid.begin(), valid.end(), [](std::uint8_t v) { return v != 0; });
      if (complete) return py::array_t<std::int64_t>(static_cast<py::ssize_t>(n), values.data());
      py::array_t<double> out(static_cast<py::ssize_t>(n));
      for (std::size_t i = 0; i < n; ++i)
        out.mutable_data()[i] = valid[i] ? static_cast<double>(values[i]) : std::numeric_limits<double>::quiet_NaN();
      return out;
    }
    case ColumnType::datetime: {
      auto values = column.int64_values();
      auto valid = column.validity();
      py::array_t<std::int64_t> nanos(static_cast<py::ssize_t>(n));
      for (std::size_t i = 0; i < n; ++i)
        nanos.mutable_data()[i] = (!valid.empty() && !valid[i]) ? NAT : values[i] * 1000;
      return nanos.attr("view")("datetime64[ns]");
    }
    case ColumnType::text: {
      const auto& dictionary = column.dictionary();
      std::vector<py::str> texts;
      texts.reserve(dictionary.size());
      for (const auto& text : dictionary) texts.emplace_back(text);
      py::array objects = object_array(n);
      auto codes = column.text_codes();
      for (std::size_t i = 0; i < n; ++i)
        if (codes[i] >= 0) set_item(objects, i, texts[static_cast<std::size_t>(codes[i])]);
      return objects;
    }
    case ColumnType::variant: {
      py::array objects = object_array(n);
      auto cells = column.cells();
      for (std::size_t i = 0; i < n; ++i) set_item(objects, i, cell_object(cells[i], timestamp));
      return objects;
    }
  }
  return py::none();
}

}  // namespace

py::object to_frame(const QueryTable& table) {
  py::module_ pandas = py::module_::import("pandas");
  py::object timestamp = pandas.attr("Timestamp");
  py::dict columns;
  for (const auto& [name, column] : table.columns()) columns[py::str(name)] = column_values(column, timestamp);
  return pandas.attr("DataFrame")(columns);
}

}  // namespace velmora::python
