// supplement_store: membership masks added to a store over its own range.

#include "velmora/backtest/store_supplement.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "common/workflow_options.h"
#include "prepare/prepare_bindings.h"

namespace velmora::python {

void bind_store_supplement(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "supplement_store",
      [](const std::filesystem::path& store_dir, py::handle component_names, bool wait, py::object waiting,
         py::object progress) {
        std::vector<std::string> names = name_list(component_names);
        backtest::StoreSupplementOptions options;
        options.lock = lock_options(wait, std::move(waiting));
        options.progress = text_progress(std::move(progress));
        backtest::StoreSupplement result;
        {
          py::gil_scoped_release release;
          result = backtest::supplement_store(store_dir, names, options);
        }
        return py::dict("added"_a = result.added, "already_present"_a = result.already_present);
      },
      "store_dir"_a, "component_names"_a, py::kw_only(), "wait"_a = false, "waiting"_a = py::none(),
      "progress"_a = py::none(),
      "supplement_store(store_dir, component_names, *, wait=False, waiting=None, progress=None)\n--\n\n"
      "Reads the masks of the named components over the store's range through the installed factor service "
      "and writes those the store lacks, under the store's writer lock. Returns {'added': [...], "
      "'already_present': [...]}.");
}

}  // namespace velmora::python
