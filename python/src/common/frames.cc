#include "common/frames.h"

#include <cstring>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "common/argument_kinds.h"
#include "common/messages.h"
#include "common/values.h"
#include "velmora/errors.h"

namespace velmora::python {

using backtest::CellType;
using backtest::DateSeries;
using backtest::Labels;
using backtest::WideMatrix;

namespace {

py::module_ pandas() { return py::module_::import("pandas"); }

void make_read_only(py::array& array) { array.attr("flags").attr("writeable") = false; }

// A numpy view of `matrix`'s cells whose base owns a copy of the matrix; read-only unless `writeable`.
py::array cell_view(const WideMatrix& matrix, Access access) {
  const auto rows = static_cast<py::ssize_t>(matrix.rows());
  const auto cols = static_cast<py::ssize_t>(matrix.cols());
  const bool boolean = matrix.cell_type() == CellType::boolean;
  py::dtype dtype = boolean ? py::dtype("bool") : py::dtype::of<double>();
  if (matrix.cell_count() == 0) return py::array(dtype, std::vector<py::ssize_t>{rows, cols});
  auto* owner = new WideMatrix(matrix);
  py::capsule base(owner, [](void* held) { delete static_cast<WideMatrix*>(held); });
  const py::ssize_t item = boolean ? 1 : static_cast<py::ssize_t>(sizeof(double));
  const void* cells = boolean ? static_cast<const void*>(matrix.bool_cells()) : matrix.float_cells();
  py::array view(dtype, std::vector<py::ssize_t>{rows, cols}, std::vector<py::ssize_t>{cols * item, item}, cells,
                 base);
  if (access == Access::read_only) make_read_only(view);
  return view;
}

Labels labels_of(py::handle index) {
  py::object texts;
  if (py::isinstance(index, pandas().attr("DatetimeIndex"))) {
    texts = index.attr("strftime")("%Y%m%d");
  } else {
    texts = py::reinterpret_borrow<py::object>(index);
  }
  std::vector<std::string> names;
  names.reserve(py::len(texts));
  for (py::handle label : texts) names.push_back(py::str(label).cast<std::string>());
  Labels labels(std::move(names));
  if (labels.size() != py::len(index) || !index.attr("is_unique").cast<bool>())
    throw ValueError(messages::LABELS_NOT_UNIQUE + py::repr(index).cast<std::string>());
  return labels;
}

}  // namespace

std::shared_ptr<const void> keep_alive(py::object object) {
  auto* held = new py::object(std::move(object));
  return std::shared_ptr<const void>(held, [](const void* pointer) {
    auto* object = static_cast<py::object*>(const_cast<void*>(pointer));
    if (!Py_IsInitialized() || _Py_IsFinalizing()) {
      object->release();  // the interpreter is gone: leave the reference
      delete object;
      return;
    }
    py::gil_scoped_acquire gil;
    delete object;
  });
}

py::object IndexCache::index(const Labels& labels) {
  const void* key = &labels.names();
  if (auto found = indexes_.find(key); found != indexes_.end()) return found->second;
  py::list names(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) names[i] = py::str(labels[i]);
  py::object index = pandas().attr("Index")(names, py::arg("dtype") = "object");
  indexes_.emplace(key, index);
  return index;
}

py::object to_frame(const WideMatrix& matrix, IndexCache& cache, Access access) {
  return pandas().attr("DataFrame")(cell_view(matrix, access), py::arg("index") = cache.index(matrix.row_labels()),
                                    py::arg("columns") = cache.index(matrix.column_labels()),
                                    py::arg("copy") = false);
}

py::object to_frame(const WideMatrix& matrix) {
  IndexCache cache;
  return to_frame(matrix, cache);
}

py::object to_series(const DateSeries& series, IndexCache& cache, Access access) {
  const auto size = static_cast<py::ssize_t>(series.size());
  py::array values;
  if (size == 0) {
    values = py::array(py::dtype::of<double>(), std::vector<py::ssize_t>{0});
  } else {
    auto* owner = new DateSeries(series);
    py::capsule base(owner, [](void* held) { delete static_cast<DateSeries*>(held); });
    values = py::array(py::dtype::of<double>(), std::vector<py::ssize_t>{size}, std::vector<py::ssize_t>{8},
                       owner->values().data(), base);
    if (access == Access::read_only) make_read_only(values);
  }
  return pandas().attr("Series")(values, py::arg("index") = cache.index(series.dates()),
                                 py::arg("name") = series.name(), py::arg("copy") = false);
}

py::dict to_python(const backtest::MatrixMap& matrices) {
  IndexCache cache;
  py::dict out;
  for (const auto& [key, matrix] : matrices) out[py::str(key)] = to_frame(matrix, cache);
  return out;
}

py::dict to_python(const backtest::BenchmarkDict& series) {
  IndexCache cache;
  py::dict out;
  for (const auto& [name, one] : series) out[py::str(name)] = to_series(one, cache);
  return out;
}

py::dict to_python(const backtest::Payload& payload, Access access) {
  IndexCache cache;
  py::dict data;
  for (const auto& [key, entry] : payload.data) {
    if (const auto* matrix = std::get_if<WideMatrix>(&entry)) {
      data[py::str(key)] = to_frame(*matrix, cache, access);
    } else {
      py::dict series;
      for (const auto& [name, one] : std::get<backtest::BenchmarkDict>(entry))
        series[py::str(name)] = to_series(one, cache, access);
      data[py::str(key)] = series;
    }
  }
  py::dict out;
  out["version"] = py::int_(payload.version);
  out["meta"] = to_python(payload.meta);
  out["data"] = data;
  return out;
}

WideMatrix to_matrix(py::handle frame, const char* argument) {
  py::module_ pd = pandas();
  if (!py::isinstance(frame, pd.attr("DataFrame"))) throw TypeError(argument + std::string(messages::MUST_BE_FRAME) + type_name(frame));
  Labels rows = labels_of(frame.attr("index"));
  Labels columns = labels_of(frame.attr("columns"));
  py::module_ np = py::module_::import("numpy");
  py::object dtypes = frame.attr("dtypes");
  const bool all_bool =
      !columns.empty() && dtypes.attr("eq")(np.attr("dtype")("bool")).attr("all")().cast<bool>();
  py::object wanted = all_bool ? np.attr("dtype")("bool") : np.attr("dtype")("float64");
  // to_numpy is a view for a single-block frame of the wanted dtype; ascontiguousarray copies only when the
  // cells are not row-major already.
  py::object values = np.attr("ascontiguousarray")(frame.attr("to_numpy")(py::arg("dtype") = wanted));
  auto array = py::reinterpret_borrow<py::array>(values);
  const CellType type = all_bool ? CellType::boolean : CellType::float64;
  if (rows.empty() || columns.empty()) {
    if (type == CellType::boolean) return WideMatrix::from_bool_grid({}, std::move(rows), std::move(columns));
    return WideMatrix::from_grid({}, std::move(rows), std::move(columns));
  }
  const void* cells = array.data();
  return WideMatrix::view(type, cells, keep_alive(std::move(values)), std::move(rows), std::move(columns));
}

DateSeries to_date_series(py::handle series, const char* argument) {
  if (!py::isinstance(series, pandas().attr("Series")))
    throw TypeError(argument + std::string(messages::MUST_BE_SERIES) + type_name(series));
  Labels dates = labels_of(series.attr("index"));
  if (!dates.is_sorted()) throw ValueError(messages::SERIES_DATES_ORDER + py::repr(series.attr("index")).cast<std::string>());
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
      series.attr("to_numpy")(py::arg("dtype") = "float64"));
  std::vector<double> cells(values.data(), values.data() + values.size());
  py::object name = series.attr("name");
  if (name.is_none()) return DateSeries(std::move(dates), std::move(cells));
  return DateSeries(std::move(dates), std::move(cells), py::str(name).cast<std::string>());
}

backtest::MatrixMap to_matrix_map(py::handle frames, const char* argument) {
  require_dict(frames, argument);
  backtest::MatrixMap out;
  for (auto [key, frame] : py::reinterpret_borrow<py::dict>(frames)) out.set(require_text(key, argument), to_matrix(frame, argument));
  return out;
}

backtest::BenchmarkDict to_benchmark_dict(py::handle series, const char* argument) {
  require_dict(series, argument);
  backtest::BenchmarkDict out;
  for (auto [key, one] : py::reinterpret_borrow<py::dict>(series))
    out.set(require_text(key, argument), to_date_series(one, argument));
  return out;
}

backtest::Payload to_payload(py::handle payload) {
  require_dict(payload, "payload");
  auto dict = py::reinterpret_borrow<py::dict>(payload);
  for (const char* key : {"version", "meta", "data"})
    if (!dict.contains(key)) throw KeyError(std::string(messages::PAYLOAD_ENTRY) + key);
  backtest::Payload out;
  out.version = to_value(dict["version"]).get<std::int64_t>();
  out.meta = to_value(dict["meta"]);
  py::handle data = dict["data"];
  require_dict(data, "payload data");
  for (auto [key, entry] : py::reinterpret_borrow<py::dict>(data)) {
    std::string name = require_text(key, "payload data");
    if (name == backtest::BENCHMARK_DICT_KEY && PyDict_Check(entry.ptr())) {
      out.data.set_benchmark_dict(to_benchmark_dict(entry, "benchmark_dict"));
    } else {
      // A repeated date would fail as a repeated row label, naming no dataset: refused as the store refuses
      // dates out of order (pandas caches is_unique, which the conversion asks again).
      if (py::isinstance(entry, pandas().attr("DataFrame")) && !entry.attr("index").attr("is_unique").cast<bool>())
        throw ValueError(messages::dataset_dates_not_ascending(name));
      out.data.set_matrix(name, to_matrix(entry, name.c_str()));
    }
  }
  return out;
}

}  // namespace velmora::python
