#include "common/errors.h"

#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "common/messages.h"
#include "velmora/errors.h"

namespace velmora::python {

namespace {

py::object exception_class(const char* name) { return py::module_::import("velmora.exceptions").attr(name); }

py::object builtin(PyObject* kind) { return py::reinterpret_borrow<py::object>(kind); }

// The failure that `error` was raised because of, or null.
std::exception_ptr nested_cause(const std::exception& error) {
  if (const auto* nested = dynamic_cast<const std::nested_exception*>(&error); nested && nested->nested_ptr())
    return nested->nested_ptr();
  if (const auto* network = dynamic_cast<const NetworkError*>(&error)) return network->cause();
  return nullptr;
}

// True when `code` is an operating-system error number; the codes of other libraries (the zip library's,
// the transfer library's) share the integer type but not the meaning.
bool is_os_error(const std::error_code& code) {
  return code.category() == std::generic_category() || code.category() == std::system_category();
}

py::object with_cause(py::object exception, const std::exception& error) {
  if (std::exception_ptr cause = nested_cause(error)) exception.attr("__cause__") = python_exception(cause);
  return exception;
}

}  // namespace

py::object python_exception(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set& e) {
    return e.value();
  } catch (const NoFactorServiceError&) {
    return exception_class("VelmoraError")(messages::NO_FACTOR_SERVICE);
  } catch (const NetworkError& e) {
    return with_cause(exception_class("NetworkError")(e.what()), e);
  } catch (const VelmoraError& e) {
    return with_cause(exception_class("VelmoraError")(e.what()), e);
  } catch (const HttpError& e) {
    return with_cause(exception_class("HttpError")(e.what(), e.status()), e);
  } catch (const TransportError& e) {
    return with_cause(builtin(PyExc_ConnectionError)(e.what()), e);
  } catch (const TypeError& e) {
    return with_cause(builtin(PyExc_TypeError)(e.what()), e);
  } catch (const ValueError& e) {
    return with_cause(builtin(PyExc_ValueError)(e.what()), e);
  } catch (const KeyError& e) {
    return with_cause(builtin(PyExc_KeyError)(e.what()), e);
  } catch (const Error& e) {
    return with_cause(exception_class("VelmoraError")(e.what()), e);
  } catch (const py::builtin_exception& e) {
    e.set_error();
    return py::error_already_set().value();
  } catch (const std::filesystem::filesystem_error& e) {
    py::object exception = builtin(PyExc_OSError)(e.code().value(), e.what());
    if (!e.path1().empty()) exception.attr("filename") = py::str(e.path1().string());
    return with_cause(std::move(exception), e);
  } catch (const std::system_error& e) {
    if (!is_os_error(e.code())) return with_cause(builtin(PyExc_RuntimeError)(e.what()), e);
    return with_cause(builtin(PyExc_OSError)(e.code().value(), e.what()), e);
  } catch (const std::bad_alloc& e) {
    return builtin(PyExc_MemoryError)(e.what());
  } catch (const std::exception& e) {
    return with_cause(builtin(PyExc_RuntimeError)(e.what()), e);
  } catch (...) {
    return builtin(PyExc_RuntimeError)("unknown C++ exception");
  }
}

void register_error_translation() {
  py::register_exception_translator([](std::exception_ptr error) {
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (py::error_already_set& e) {
      e.restore();
    } catch (const py::builtin_exception&) {
      throw;  // pybind11's own kinds (StopIteration, IndexError, ...) keep its translation
    } catch (const std::exception&) {
      py::object exception = python_exception(error);
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    }
  });
}

}  // namespace velmora::python
