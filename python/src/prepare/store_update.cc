// update_store: a store brought up to a new end date.

#include "velmora/backtest/store_update.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "common/argument_kinds.h"
#include "common/messages.h"
#include "common/workflow_options.h"
#include "prepare/prepare_bindings.h"
#include "velmora/errors.h"

namespace velmora::python {

namespace {

using backtest::BinaryPreparedDataStore;
using backtest::StoreUpdate;

const char* outcome_name(StoreUpdate::Outcome outcome) {
  switch (outcome) {
    case StoreUpdate::Outcome::unchanged: return "unchanged";
    case StoreUpdate::Outcome::extended: return "extended";
    case StoreUpdate::Outcome::rebuilt: return "rebuilt";
  }
  return "unchanged";
}

std::shared_ptr<const BinaryPreparedDataStore> store_of(py::handle store_or_dir) {
  if (py::isinstance<BinaryPreparedDataStore>(store_or_dir))
    return store_or_dir.cast<std::shared_ptr<BinaryPreparedDataStore>>();
  if (py::isinstance<py::str>(store_or_dir) || py::hasattr(store_or_dir, "__fspath__"))
    return std::make_shared<BinaryPreparedDataStore>(store_or_dir.cast<std::filesystem::path>());
  throw TypeError(std::string("store_or_dir") + messages::MUST_BE_STORE_OR_PATH + type_name(store_or_dir));
}

}  // namespace

void bind_store_update(py::module_& m) {
  using namespace pybind11::literals;
  m.def(
      "update_store",
      [](py::handle store_or_dir, py::handle end_date, py::handle from_date, py::object progress) {
        std::shared_ptr<const BinaryPreparedDataStore> store = store_of(store_or_dir);
        backtest::StoreUpdateOptions options;
        options.end_date = require_text(date_argument(end_date), "end_date");
        options.from_date = optional_text(date_argument(from_date), "from_date");
        options.progress = text_progress(std::move(progress));
        StoreUpdate result;
        {
          py::gil_scoped_release release;
          result = backtest::update_store(*store, options);
        }
        const auto& t = result.timings;
        return py::dict("outcome"_a = outcome_name(result.outcome), "start_date"_a = result.start_date,
                        "old_end_date"_a = result.old_end_date, "end_date"_a = result.end_date,
                        "reread_from"_a = result.reread_from, "rebuild_reason"_a = result.rebuild_reason,
                        "added_dates"_a = result.added_dates, "added_instruments"_a = result.added_instruments,
                        "recomputed_from"_a = result.recomputed_from, "files_copied"_a = result.files_copied,
                        "seconds"_a = py::dict("read_store"_a = t.read_store, "read_source"_a = t.read_source,
                                               "derive"_a = t.derive, "write"_a = t.write));
      },
      "store_or_dir"_a, "end_date"_a, "from_date"_a = py::none(), "progress"_a = py::none(),
      "update_store(store_or_dir, end_date, from_date=None, progress=None)\n--\n\n"
      "Extends the store (a BinaryPreparedDataStore or its directory) to end_date through the installed factor "
      "service, reading only the dates after its end (from from_date on when given), under the store's writer "
      "lock. Returns a dict: outcome ('unchanged', 'extended' or 'rebuilt'), the dates, the added dates and "
      "instruments, and the seconds of each stage.");
}

}  // namespace velmora::python
