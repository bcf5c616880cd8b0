// BinaryPreparedDataStore: the component-aware store (load and write come from the base).

#include "velmora/backtest/store.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "common/argument_kinds.h"
#include "common/frames.h"
#include "prepare/prepare_bindings.h"

namespace velmora::python {

void bind_store(py::module_& m) {
  using backtest::BinaryPreparedDataStore;
  using backtest::BinaryPreparedDataStoreBase;
  using namespace pybind11::literals;
  py::class_<BinaryPreparedDataStore, BinaryPreparedDataStoreBase, std::shared_ptr<BinaryPreparedDataStore>>(
      m, "BinaryPreparedDataStore",
      "The prepared-data store: the base with the component datasets in its dtype map, a load that reads the "
      "datasets the metadata lists, and add_component_matrices.")
      .def(py::init([](const std::filesystem::path& store_dir, py::handle component_names) {
             if (component_names.is_none()) return std::make_shared<BinaryPreparedDataStore>(store_dir);
             return std::make_shared<BinaryPreparedDataStore>(store_dir, element_texts(component_names, "component_names"));
           }),
           "store_dir"_a, "component_names"_a = py::none(),
           "__init__(self, store_dir, component_names=None)\n--\n\n")
      .def(
          "add_component_matrices",
          [](const BinaryPreparedDataStore& self, py::handle component_matrices, py::handle component_names) {
            backtest::MatrixMap matrices = to_matrix_map(component_matrices, "component_matrices");
            std::vector<std::string> names = element_texts(component_names, "component_names");
            py::gil_scoped_release release;
            return self.add_component_matrices(matrices, names);
          },
          "component_matrices"_a, "component_names"_a,
          "add_component_matrices(self, /, component_matrices, component_names)\n--\n\n"
          "Writes the mask of every listed name whose dataset the store lacks and registers it; returns the "
          "names newly written.");
}

}  // namespace velmora::python
