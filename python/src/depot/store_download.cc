// download_into_store: the benchmark package downloaded into a store, a one-folder package lifted up.

#include "velmora/backtest/store_download.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "common/workflow_options.h"
#include "depot/depot_bindings.h"

namespace velmora::python {

void bind_store_download(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "download_into_store",
      [](const HttpClient& http, const std::filesystem::path& store_dir, bool wait, py::object waiting,
         py::object progress, py::object unpacking) {
        backtest::StoreDownloadOptions options;
        options.lock = lock_options(wait, std::move(waiting));
        if (std::shared_ptr<py::object> held = held_callable(std::move(progress))) {
          options.progress = [held](std::uint64_t received, std::optional<std::uint64_t> total) {
            py::gil_scoped_acquire gil;
            (*held)(received, total ? py::object(py::int_(*total)) : py::object(py::none()));
          };
        }
        if (std::shared_ptr<py::object> held = held_callable(std::move(unpacking))) {
          options.unpacking = [held](std::uint64_t done, std::uint64_t total) {
            py::gil_scoped_acquire gil;
            (*held)(done, total);
          };
        }
        backtest::StoreDownload fetched;
        {
          py::gil_scoped_release release;
          fetched = backtest::download_into_store(http, store_dir, options);
        }
        return py::dict("store"_a = fetched.store,
                        "lifted"_a = fetched.lifted ? py::object(py::str(*fetched.lifted)) : py::object(py::none()));
      },
      "http"_a, "store_dir"_a, py::kw_only(), "wait"_a = false, "waiting"_a = py::none(), "progress"_a = py::none(),
      "unpacking"_a = py::none(),
      "download_into_store(http, store_dir, *, wait=False, waiting=None, progress=None, unpacking=None)\n--\n\n"
      "Downloads the benchmark package into `store_dir` under the store's writer lock, as "
      "download_benchmark_package does, and lifts a package packed inside one folder up into it. Returns "
      "{'store': the directory, 'lifted': the folder lifted up or None}. With wait, waits for another writer, "
      "calling waiting(pid) first; progress(received, total) and unpacking(done, total) observe the stages.");
}

}  // namespace velmora::python
