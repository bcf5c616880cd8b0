// build_into_store: a date range built into a store, with the store's guards.

#include "velmora/backtest/store_build.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "common/argument_kinds.h"
#include "common/workflow_options.h"
#include "prepare/prepare_bindings.h"

namespace velmora::python {

void bind_store_build(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "build_into_store",
      [](const std::filesystem::path& store_dir, py::handle start_date, py::handle end_date, bool batch,
         bool allow_empty, py::handle drop_components, bool wait, py::object waiting, py::object progress) {
        backtest::StoreBuildOptions options;
        options.start_date = require_text(date_argument(start_date), "start_date");
        options.end_date = require_text(date_argument(end_date), "end_date");
        options.batch = batch;
        options.allow_empty = allow_empty;
        options.drop_components = name_list(drop_components);
        options.lock = lock_options(wait, std::move(waiting));
        options.progress = text_progress(std::move(progress));
        backtest::StoreBuild built;
        {
          py::gil_scoped_release release;
          built = backtest::build_into_store(store_dir, options);
        }
        return py::dict("start_date"_a = built.start_date, "end_date"_a = built.end_date,
                        "datasets"_a = built.datasets, "benchmark_series"_a = built.benchmark_series,
                        "dates"_a = built.dates, "instruments"_a = built.instruments,
                        "components"_a = built.components, "kept"_a = built.kept, "dropped"_a = built.dropped,
                        "seconds"_a = py::dict("build"_a = built.timings.build, "write"_a = built.timings.write));
      },
      "store_dir"_a, "start_date"_a, "end_date"_a, py::kw_only(), "batch"_a = false, "allow_empty"_a = false,
      "drop_components"_a = py::none(), "wait"_a = false, "waiting"_a = py::none(), "progress"_a = py::none(),
      "build_into_store(store_dir, start_date, end_date, *, batch=False, allow_empty=False, drop_components=None, "
      "wait=False, waiting=None, progress=None)\n--\n\n"
      "Builds [start_date, end_date] through the installed factor service and writes it as the whole content of "
      "`store_dir`, under the store's writer lock: refuses a build without dates over a store that holds data "
      "unless allow_empty, keeps the components supplemented into the store (or raises ValueError naming "
      "those the service lacks) except those named in drop_components. With wait, waits for another writer, "
      "calling waiting(pid) first; progress(text) before each stage. Returns a dict of what was built, kept "
      "and dropped.");
}

}  // namespace velmora::python
