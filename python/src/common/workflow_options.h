#pragma once

// The options every store workflow binding shares: how to take the writer lock, and Python callbacks
// that C++ may call from a thread that does not hold the GIL.

#include <functional>
#include <memory>
#include <string>

#include <pybind11/pybind11.h>

#include "velmora/store_writing.h"

namespace velmora::python {

namespace py = pybind11;

// `callable` held so that the last copy of the holder drops it with the GIL taken; null for None.
std::shared_ptr<py::object> held_callable(py::object callable);

// A progress observer called as progress(text); empty for None. The GIL is taken for the call only; an
// exception it raises ends the workflow and reaches its caller unchanged.
std::function<void(const std::string&)> text_progress(py::object progress);

// LockWait::yes when `wait` is true; `waiting` (None or a callable) is called as waiting(pid) when the wait
// begins.
StoreLockOptions lock_options(bool wait, py::object waiting);

}  // namespace velmora::python
