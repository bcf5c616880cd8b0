#pragma once

// Matrices, series and payloads across the boundary, without copying cells.
//
// Out: a WideMatrix becomes a pandas.DataFrame (index: the date texts, columns: the instrument keys) whose
// values are a numpy view of the matrix's cells, read-only unless the cells are private (see Access). The view's base is a capsule holding a copy of the
// matrix, which shares the cells (and, for a loaded store, the mapped file): the frame outlives the store and
// the payload it came from. A DateSeries becomes a pandas.Series the same way; a Payload a dict of "version",
// "meta" and "data". Label lists shared by several matrices become one shared pandas.Index.
//
// In: a DataFrame whose values are float64 (or bool) and C-contiguous is taken as a view, kept alive by a
// reference to its array for as long as the matrix lives; any other frame is converted once. The frame must
// not change while a call that took it runs. Labels are the str() of the frame's labels (a DatetimeIndex as
// "YYYYMMDD").
//
// Every function here needs the GIL.

#include <memory>
#include <unordered_map>

#include <pybind11/pybind11.h>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/date_series.h"
#include "velmora/backtest/payload.h"
#include "velmora/backtest/wide_matrix.h"

namespace velmora::python {

namespace py = pybind11;

// One pandas.Index per distinct label list met during one conversion.
class IndexCache {
 public:
  py::object index(const backtest::Labels& labels);

 private:
  std::unordered_map<const void*, py::object> indexes_;
};

// Whether the numpy views let Python write the cells. Only cells that nothing else reads may be handed out
// writeable: those a store read into private memory (a load without mmap), never mapped files or the cells
// of matrices the library may still share.
enum class Access { read_only, writeable };

py::object to_frame(const backtest::WideMatrix& matrix, IndexCache& cache, Access access = Access::read_only);
py::object to_frame(const backtest::WideMatrix& matrix);
py::object to_series(const backtest::DateSeries& series, IndexCache& cache, Access access = Access::read_only);
py::dict to_python(const backtest::MatrixMap& matrices);
py::dict to_python(const backtest::BenchmarkDict& series);
py::dict to_python(const backtest::Payload& payload, Access access = Access::read_only);

// `argument` names the value in the TypeError raised for a value of another kind.
backtest::WideMatrix to_matrix(py::handle frame, const char* argument);
backtest::DateSeries to_date_series(py::handle series, const char* argument);
backtest::MatrixMap to_matrix_map(py::handle frames, const char* argument);
backtest::BenchmarkDict to_benchmark_dict(py::handle series, const char* argument);
backtest::Payload to_payload(py::handle payload);

// Keeps `object` alive for as long as the returned pointer (or a copy) lives; the last release takes the GIL.
std::shared_ptr<const void> keep_alive(py::object object);

}  // namespace velmora::python
