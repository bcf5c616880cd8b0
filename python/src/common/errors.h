#pragma once

// Errors across the boundary. C++ errors of the libraries become Python exceptions: TypeError, ValueError and
// KeyError become Python's built-in kinds; VelmoraError and NetworkError become the classes of
// velmora.exceptions (NetworkError a subclass of VelmoraError), HttpError velmora.exceptions.HttpError (a
// NetworkError), the transport failure behind an HttpError ConnectionError; file system errors OSError. The
// library's "no factor service" error names the Python call that installs one. The message is what() exactly, and the C++ cause chain (std::nested_exception, or a
// NetworkError's cause) becomes the chain of __cause__. A Python exception that passed through C++ (raised by a
// Python factor service or observer) arrives as the same object.

#include <exception>

#include <pybind11/pybind11.h>

namespace velmora::python {

namespace py = pybind11;

// Registers the translation with pybind11; every module calls it when it loads.
void register_error_translation();

// The Python exception object for `error`, its __cause__ chain set. REQUIRES: the GIL is held.
py::object python_exception(std::exception_ptr error);

}  // namespace velmora::python
