// request_interruption / reset_interruption (velmora/interruption.h): another thread's way to stop a
// running store workflow at its next safe point, which then raises VelmoraError("interrupted").

#include "velmora/interruption.h"

#include <pybind11/pybind11.h>

#include "store/store_bindings.h"

namespace velmora::python {

void bind_interruption(py::module_& m) {
  m.def("request_interruption", &request_interruption,
        "request_interruption()\n--\n\nAsks the running store workflows (builds, writes, updates, downloads) to "
        "stop at their next safe point: each raises VelmoraError('interrupted') and leaves its store as it was. "
        "Call it from another thread (the workflows run without the GIL); it stays in force until "
        "reset_interruption().");
  m.def("reset_interruption", &reset_interruption,
        "reset_interruption()\n--\n\nClears a request_interruption(), so that later workflows run again.");
}

}  // namespace velmora::python
