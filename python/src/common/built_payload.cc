#include "common/built_payload.h"

#include "common/frames.h"

namespace velmora::python {

namespace {

py::object built_payload_type() { return py::module_::import("velmora.backtest._payload").attr("BuiltPayload"); }

}  // namespace

py::object to_built_payload(const backtest::Payload& payload) {
  return built_payload_type()(to_python(payload), to_python(payload.update_basis));
}

backtest::Payload payload_with_basis(py::handle payload) {
  backtest::Payload out = to_payload(payload);
  if (py::isinstance(payload, built_payload_type())) {
    py::object basis = payload.attr("update_basis");
    if (!basis.is_none()) out.update_basis = to_matrix_map(basis, "update_basis");
  }
  return out;
}

}  // namespace velmora::python
