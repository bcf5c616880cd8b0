// BinaryPreparedDataStoreBase: the store base, writing payloads and loading them back as DataFrames.

#include "velmora/backtest/store_base.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "common/argument_kinds.h"
#include "common/built_payload.h"
#include "common/frames.h"
#include "common/values.h"
#include "store/store_bindings.h"

namespace velmora::python {

namespace {
backtest::OrderedMap<std::string> dtype_map(py::handle matrix_dtype) {
  require_dict(matrix_dtype, "matrix_dtype");
  backtest::OrderedMap<std::string> out;
  for (auto [key, dtype] : py::reinterpret_borrow<py::dict>(matrix_dtype))
    out.set(require_text(key, "matrix_dtype"), require_text(dtype, "matrix_dtype"));
  return out;
}

py::dict dtype_dict(const backtest::OrderedMap<std::string>& matrix_dtype) {
  py::dict out;
  for (const auto& [key, dtype] : matrix_dtype) out[py::str(key)] = py::str(dtype);
  return out;
}

py::object load_store(const backtest::BinaryPreparedDataStoreBase& store, py::handle start_date, py::handle end_date,
                      py::handle keys, bool mmap) {
  auto start = optional_text(date_argument(start_date), "start_date");
  auto end = optional_text(date_argument(end_date), "end_date");
  auto key_list = optional_text_list(keys, "keys");
  std::optional<backtest::Payload> payload;
  {
    py::gil_scoped_release release;
    payload = store.load(start, end, key_list, mmap);
  }
  // Read without mapping, the cells are the frames' own memory: Python may write them.
  if (!payload) return py::none();
  return to_python(*payload, mmap ? Access::read_only : Access::writeable);
}

}  // namespace

void bind_store_base(py::module_& m) {
  using backtest::BinaryPreparedDataStoreBase;
  using namespace pybind11::literals;
  py::class_<BinaryPreparedDataStoreBase, std::shared_ptr<BinaryPreparedDataStoreBase>>(
      m, "BinaryPreparedDataStoreBase",
      "A directory holding a payload as .npy files and a pickled metadata file. Loads give DataFrames that "
      "view the cells (with mmap, the mapped files) without copying.")
      .def(py::init([](const std::filesystem::path& store_dir, py::handle matrix_dtype, std::int64_t version,
                       const std::string& float_dtype) {
             return std::make_shared<BinaryPreparedDataStoreBase>(store_dir, dtype_map(matrix_dtype), version,
                                                                  float_dtype);
           }),
           "store_dir"_a, "matrix_dtype"_a, "version"_a, "float_dtype"_a,
           "__init__(self, store_dir, matrix_dtype, version, float_dtype)\n--\n\n")
      .def("__repr__",
           [](py::handle self) {
             // The class's own name, so that the component-aware store says what it is too.
             return self.attr("__class__").attr("__name__").cast<std::string>() + "(" +
                    py::repr(py::str(self.cast<const BinaryPreparedDataStoreBase&>().store_dir().string()))
                        .cast<std::string>() +
                    ")";
           })
      .def_property_readonly("matrix_dtype",
                             [](const BinaryPreparedDataStoreBase& self) { return dtype_dict(self.matrix_dtype()); })
      .def_property_readonly("store_dir", &BinaryPreparedDataStoreBase::store_dir)
      .def_property_readonly("metadata_path", &BinaryPreparedDataStoreBase::metadata_path)
      .def_property_readonly("manifest_path", &BinaryPreparedDataStoreBase::manifest_path)
      .def(
          "load_metadata",
          [](const BinaryPreparedDataStoreBase& self) {
            Value metadata;
            {
              py::gil_scoped_release release;
              metadata = self.load_metadata();
            }
            return to_python(metadata);
          },
          "load_metadata(self, /)\n--\n\nThe store's metadata as a dict; empty when the store has none yet.")
      .def("load", &load_store, "start_date"_a = py::none(), "end_date"_a = py::none(),
           "keys"_a = py::none(), "mmap"_a = true,
           "load(self, /, start_date=None, end_date=None, keys=None, mmap=True)\n--\n\n"
           "The stored payload as a dict of 'version', 'meta' and 'data' (DataFrames, and 'benchmark_dict' of "
           "Series), or None when the store is empty. Dates are inclusive bounds (a date text, an int YYYYMMDD, "
           "a datetime.date, a numpy.datetime64 or a pandas.Timestamp); `keys` the datasets to read. With mmap "
           "the frames view the mapped files and are read-only (DataFrame.copy() gives a writeable copy); "
           "without, they own their cells and are writeable. Nothing is checked against the manifest: "
           "verify() does that.")
      .def(
          "write",
          [](const BinaryPreparedDataStoreBase& self, py::handle payload) {
            backtest::Payload converted = payload_with_basis(payload);
            py::gil_scoped_release release;
            self.write(converted);
          },
          "payload"_a,
          "write(self, /, payload)\n--\n\nWrites a payload dict as the store's whole content (with the update basis "
          "of a BuiltPayload). ValueError naming the dataset when a matrix's or series' dates are not strictly "
          "ascending; nothing is written then.")
      .def(
          "_write_matrix",
          [](const BinaryPreparedDataStoreBase& self, const std::filesystem::path& store_dir, const std::string& key,
             py::handle matrix, const std::string& dtype) {
            backtest::WideMatrix cells = to_matrix(matrix, "matrix");
            Value entry;
            {
              py::gil_scoped_release release;
              entry = self._write_matrix(store_dir, key, cells, dtype);
            }
            return to_python(entry);
          },
          "store_dir"_a, "key"_a, "matrix"_a, "dtype"_a)
      .def(
          "_write_manifest",
          [](const BinaryPreparedDataStoreBase& self, const std::filesystem::path& store_dir, py::handle metadata) {
            Value plain = to_value(metadata);
            py::gil_scoped_release release;
            self._write_manifest(store_dir, plain);
          },
          "store_dir"_a, "metadata"_a)
      .def(
          "_write_metadata",
          [](const BinaryPreparedDataStoreBase& self, py::handle metadata) {
            Value plain = to_value(metadata);
            py::gil_scoped_release release;
            self._write_metadata(plain);
          },
          "metadata"_a)
      .def("_remove_unnamed_files", &BinaryPreparedDataStoreBase::_remove_unnamed_files,
           py::call_guard<py::gil_scoped_release>())
      .def("verify", &BinaryPreparedDataStoreBase::verify, py::call_guard<py::gil_scoped_release>(),
           "verify(self, /)\n--\n\nChecks every file of the manifest; raises VelmoraError naming the first that differs.");
}

}  // namespace velmora::python
