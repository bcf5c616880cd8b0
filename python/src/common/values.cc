#include "common/values.h"

#include <string>

#include "common/argument_kinds.h"
#include "common/messages.h"
#include "velmora/errors.h"

namespace velmora::python {

py::object to_python(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      return py::none();
    case Value::value_t::boolean:
      return py::bool_(value.get<bool>());
    case Value::value_t::number_integer:
      return py::int_(value.get<std::int64_t>());
    case Value::value_t::number_unsigned:
      return py::int_(value.get<std::uint64_t>());
    case Value::value_t::number_float:
      return py::float_(value.get<double>());
    case Value::value_t::string:
      return py::str(value.get_ref<const std::string&>());
    case Value::value_t::binary: {
      const auto& bytes = value.get_binary();
      return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Value::value_t::array: {
      py::list list(value.size());
      std::size_t i = 0;
      for (const Value& item : value) list[i++] = to_python(item);
      return list;
    }
    case Value::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
      return dict;
    }
  }
  return py::none();
}

Value to_value(py::handle object) {
  PyObject* raw = object.ptr();
  if (raw == Py_None) return nullptr;
  if (PyBool_Check(raw)) return raw == Py_True;
  if (PyLong_Check(raw)) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(raw, &overflow);
    if (overflow == 0) return static_cast<std::int64_t>(number);
    if (overflow > 0) return object.cast<std::uint64_t>();  // OverflowError above 2**64 - 1
    throw py::error_already_set();
  }
  if (PyFloat_Check(raw)) return PyFloat_AS_DOUBLE(raw);
  if (PyUnicode_Check(raw)) return object.cast<std::string>();
  if (PyList_Check(raw) || PyTuple_Check(raw)) {
    Value list = Value::array();
    for (py::handle item : object) list.push_back(to_value(item));
    return list;
  }
  if (PyDict_Check(raw)) {
    Value map = Value::object();
    for (auto [key, item] : py::reinterpret_borrow<py::dict>(object)) map[py::str(key).cast<std::string>()] = to_value(item);
    return map;
  }
  // numpy scalars: np.bool_, integers and floats.
  if (py::hasattr(object, "dtype") && py::hasattr(object, "ndim") && object.attr("ndim").cast<int>() == 0) {
    return to_value(object.attr("item")());
  }
  throw TypeError(messages::NO_PLAIN_FORM + type_name(object));
}

}  // namespace velmora::python
