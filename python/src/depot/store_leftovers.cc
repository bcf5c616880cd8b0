// find_leftovers / remove_leftovers: what interrupted writes and downloads left around a store
// (velmora/store_leftovers.h). Bound in _depot, the one module that links both libraries whose writers leave
// them: the store's writes (_prepare) and the package download (_depot).

#include "velmora/store_leftovers.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include "common/workflow_options.h"
#include "depot/depot_bindings.h"
#include "velmora/backtest/download_leftovers.h"
#include "velmora/backtest/store_leftovers.h"

namespace velmora::python {

namespace {

// Both libraries' finders, as the command-line tool joins them (tools/velmora-backtest/leftovers.cc).
std::vector<LeftoverFinder> finders() { return {backtest::store_write_leftovers, backtest::download_leftovers}; }

py::list as_dicts(const std::vector<StoreLeftover>& leftovers) {
  using namespace pybind11::literals;
  py::list out;
  for (const auto& leftover : leftovers)
    out.append(py::dict("path"_a = leftover.path, "kind"_a = leftover.kind, "bytes"_a = leftover.bytes));
  return out;
}

}  // namespace

void bind_store_leftovers(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "find_leftovers",
      [](const std::filesystem::path& store_dir) {
        std::vector<StoreLeftover> found;
        {
          py::gil_scoped_release release;
          found = find_leftovers(store_dir, finders());
        }
        return as_dicts(found);
      },
      "store_dir"_a,
      "find_leftovers(store_dir)\n--\n\nWhat interrupted writes and downloads left around the store, changing "
      "nothing: a list of {'path', 'kind', 'bytes'} (partial and temporary files of a write, files of the store "
      "no dataset names, staging directories, stale download archives). A file the store cannot prove it "
      "wrote is never listed.");
  m.def(
      "remove_leftovers",
      [](const std::filesystem::path& store_dir, bool wait, py::object waiting) {
        const StoreLockOptions lock = lock_options(wait, std::move(waiting));
        std::vector<StoreLeftover> removed;
        {
          py::gil_scoped_release release;
          removed = remove_leftovers(store_dir, finders(), lock);
        }
        return as_dicts(removed);
      },
      "store_dir"_a, py::kw_only(), "wait"_a = false, "waiting"_a = py::none(),
      "remove_leftovers(store_dir, *, wait=False, waiting=None)\n--\n\nRemoves what find_leftovers lists, "
      "under the store's writer lock (StoreLockedError while another writer runs, unless wait; waiting(pid) is "
      "called when the wait begins), and returns what it removed.");
}

}  // namespace velmora::python
