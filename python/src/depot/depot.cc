// download_benchmark_package and flatten_single_subdir, with the package constants.

#include "velmora/backtest/depot.h"

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "depot/depot_bindings.h"

namespace velmora::python {

namespace {

// A Python progress observer called as observer(received, total), total None when unknown. The GIL is taken
// for the call only; an exception it raises ends the download.
backtest::DownloadProgress observer_of(py::object observer) {
  if (observer.is_none()) return {};
  std::shared_ptr<py::object> held(new py::object(std::move(observer)), [](py::object* object) {
    py::gil_scoped_acquire gil;
    delete object;
  });
  return [held](std::uint64_t received, std::optional<std::uint64_t> total) {
    py::gil_scoped_acquire gil;
    (*held)(received, total ? py::object(py::int_(*total)) : py::object(py::none()));
  };
}

}  // namespace

void bind_depot(py::module_& m) {
  using namespace pybind11::literals;
  m.attr("_BENCHMARK_DATA_PATH") = backtest::BENCHMARK_DATA_PATH;
  m.attr("_CONTENT_TYPE_ZIP") = std::string(backtest::CONTENT_TYPE_ZIP);
  m.attr("_DOWNLOAD_CHUNK_SIZE") = backtest::DOWNLOAD_CHUNK_SIZE;
  m.attr("_TEMP_DIR_NAME") = std::string(backtest::TEMP_DIR_NAME);
  m.attr("_TEMP_FILE_PREFIX") = std::string(backtest::TEMP_FILE_PREFIX);
  m.attr("_DOWNLOAD_TIMEOUT") = py::dict("connect"_a = backtest::DOWNLOAD_TIMEOUT.connect.count() / 1000.0,
                                         "read"_a = static_cast<double>(backtest::DOWNLOAD_TIMEOUT.idle.count()),
                                         "write"_a = static_cast<double>(backtest::DOWNLOAD_TIMEOUT.idle.count()),
                                         "pool"_a = static_cast<double>(backtest::DOWNLOAD_TIMEOUT.idle.count()));

  m.def(
      "download_benchmark_package",
      [](const HttpClient& http, const std::filesystem::path& store_dir, py::object progress) {
        backtest::DownloadProgress observer = observer_of(std::move(progress));
        py::gil_scoped_release release;
        return backtest::download_benchmark_package(http, store_dir, observer);
      },
      "http"_a, "store_dir"_a, "progress"_a = py::none(),
      "download_benchmark_package(http, store_dir, progress=None)\n--\n\nFetches the benchmark data package through `http` and unpacks it into `store_dir` (a leading ~ "
      "expanded); returns that directory. `progress`, when given, is called as progress(received, total).");
  m.def("flatten_single_subdir", &backtest::flatten_single_subdir, "store_dir"_a,
        py::call_guard<py::gil_scoped_release>(),
        "flatten_single_subdir(store_dir)\n--\n\nLifts the contents of a single nested directory up into `store_dir` when there is no metadata.pkl at "
        "the top.");
}

}  // namespace velmora::python
