#pragma once

// A built payload across the boundary with its update basis, so that a store written from Python can be
// updated at the cost of the new dates.
//
// Out: the dict of "version", "meta" and "data" (frames.h) as a velmora.backtest.BuiltPayload, a dict
// subclass whose attribute `update_basis` holds the build's source matrices that "data" does not keep
// (factor name → DataFrame). Its keys stay the three of every payload.
// In: any payload dict; a BuiltPayload brings its `update_basis` along (a plain dict, a copy made with
// dict(...), writes a store without one, which an update then rebuilds in full).
//
// Every function here needs the GIL.

#include <pybind11/pybind11.h>

#include "velmora/backtest/payload.h"

namespace velmora::python {

namespace py = pybind11;

py::object to_built_payload(const backtest::Payload& payload);
backtest::Payload payload_with_basis(py::handle payload);

}  // namespace velmora::python
