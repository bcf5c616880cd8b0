// GroupPreparedDataBuilder: the build entry points and their stages. Every stage that reads or computes
// runs without the GIL; frames in and out cross without copying cells.

#include "velmora/backtest/builder.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/argument_kinds.h"
#include "common/built_payload.h"
#include "common/frames.h"
#include "common/query_tables.h"
#include "common/values.h"
#include "prepare/prepare_bindings.h"
#include "velmora/query_table.h"

namespace velmora::python {

namespace {

using backtest::GroupPreparedDataBuilder;
using backtest::MatrixMap;
using backtest::WideMatrix;

// Runs `work` without the GIL and returns its result.
template <typename Work>
auto released(Work&& work) {
  py::gil_scoped_release release;
  return work();
}

std::optional<MatrixMap> optional_matrix_map(py::handle batch, const char* argument) {
  if (none_or_dict(batch, argument)) return std::nullopt;
  return to_matrix_map(batch, argument);
}

}  // namespace

void bind_builder(py::module_& m) {
  using namespace pybind11::literals;
  py::class_<GroupPreparedDataBuilder>(
      m, "GroupPreparedDataBuilder",
      "Reads a date range of factor data and benchmark quotes from the installed factor service "
      "(velmora.singleton) and returns the prepared-data payload: a dict of 'version', 'meta' and 'data'.")
      .def(py::init([](py::handle start_date, py::handle end_date) {
             Value start = require_text(date_argument(start_date), "start_date");
             Value end = require_text(date_argument(end_date), "end_date");
             return GroupPreparedDataBuilder(start, end);
           }),
           "start_date"_a, "end_date"_a, "__init__(self, start_date, end_date)\n--\n\n")
      .def("__repr__",
           [](const GroupPreparedDataBuilder& self) {
             return "GroupPreparedDataBuilder('" + self.default_start() + "', '" + self.end_date() + "')";
           })
      .def_property_readonly("default_start", &GroupPreparedDataBuilder::default_start)
      .def_property_readonly("end_date", &GroupPreparedDataBuilder::end_date)
      .def_property_readonly("_ddb_start", &GroupPreparedDataBuilder::_ddb_start)
      .def_property_readonly("_ddb_end", &GroupPreparedDataBuilder::_ddb_end)
      .def(
          "build",
          [](const GroupPreparedDataBuilder& self) { return to_built_payload(released([&] { return self.build(); })); },
          "build(self, /)\n--\n\nA full build: one query per factor. Meta carries 'created_at'.")
      .def(
          "build_incremental",
          [](const GroupPreparedDataBuilder& self) {
            return to_built_payload(released([&] { return self.build_incremental(); }));
          },
          "build_incremental(self, /)\n--\n\nAn incremental build: one batch query, single reads where it falls short. Meta carries 'updated_at'.")
      .def_static(
          "_normalize_ddb_backtest_date",
          [](py::handle date_value) { return GroupPreparedDataBuilder::_normalize_ddb_backtest_date(to_value(date_value)); },
          "date_value"_a)
      .def_static(
          "_vm_factor_date",
          [](py::handle date_value) {
            auto text = optional_text(date_value, "date_value");
            return GroupPreparedDataBuilder::_vm_factor_date(text ? Value(*text) : Value(nullptr));
          },
          "date_value"_a)
      .def_static(
          "_empty_like",
          [](py::handle reference, double fill_value) {
            return to_frame(GroupPreparedDataBuilder::_empty_like(to_matrix(reference, "reference"), fill_value));
          },
          "reference"_a, "fill_value"_a = backtest::NaN)
      .def_static(
          "_vm_factors_to_matrices",
          [](py::handle df, py::handle names) {
            std::optional<QueryTable> table = to_query_table(df);
            std::vector<std::string> wanted = require_text_list(names, "names");
            return to_python(released(
                [&] { return GroupPreparedDataBuilder::_vm_factors_to_matrices(table ? &*table : nullptr, wanted); }));
          },
          "df"_a, "names"_a)
      .def(
          "_read_normal_factor_matrix",
          [](const GroupPreparedDataBuilder& self, py::handle name) {
            std::string factor = require_text(name, "name");
            return to_frame(released([&] { return self._read_normal_factor_matrix(factor); }));
          },
          "name"_a)
      .def(
          "_read_normal_factor_batch",
          [](const GroupPreparedDataBuilder& self, py::handle names) {
            std::vector<std::string> wanted = name_list(names);
            return to_python(released([&] { return self._read_normal_factor_batch(wanted); }));
          },
          "names"_a)
      .def(
          "_batch_or_read",
          [](const GroupPreparedDataBuilder& self, py::handle batch, py::handle name) {
            MatrixMap matrices = to_matrix_map(batch, "batch");
            std::string factor = require_text(name, "name");
            return to_frame(released([&] { return self._batch_or_read(matrices, factor); }));
          },
          "batch"_a, "name"_a)
      .def(
          "_read_or_empty",
          [](const GroupPreparedDataBuilder& self, py::handle name, py::handle reference, py::handle batch) {
            std::string factor = require_text(name, "name");
            WideMatrix shape = to_matrix(reference, "reference");
            std::optional<MatrixMap> matrices = optional_matrix_map(batch, "batch");
            return to_frame(released([&] { return self._read_or_empty(factor, shape, matrices ? &*matrices : nullptr); }));
          },
          "name"_a, "reference"_a, "batch"_a = py::none())
      .def(
          "_component_matrices",
          [](const GroupPreparedDataBuilder& self, py::handle component_names, py::handle batch) {
            std::vector<std::string> names = require_text_list(component_names, "component_names");
            std::optional<MatrixMap> matrices = optional_matrix_map(batch, "batch");
            return to_python(released([&] { return self._component_matrices(names, matrices ? &*matrices : nullptr); }));
          },
          "component_names"_a, "batch"_a = py::none())
      .def_static(
          "_format_benchmark_daily_return",
          [](py::handle df, py::handle benchmark_name, py::handle index_code) {
            std::optional<QueryTable> table = to_query_table(df);
            std::string name = require_text(benchmark_name, "benchmark_name");
            std::string code = require_text(index_code, "index_code");
            backtest::DateSeries series = released(
                [&] { return GroupPreparedDataBuilder::_format_benchmark_daily_return(table ? &*table : nullptr, name, code); });
            IndexCache cache;
            return to_series(series, cache);
          },
          "df"_a, "benchmark_name"_a, "index_code"_a)
      .def(
          "_read_benchmark_dict",
          [](const GroupPreparedDataBuilder& self) { return to_python(released([&] { return self._read_benchmark_dict(); })); })
      .def(
          "_read_source_data",
          [](const GroupPreparedDataBuilder& self, bool incremental) {
            backtest::SourceData data = released([&] { return self._read_source_data(incremental); });
            return py::make_tuple(to_python(data.source), to_python(data.component_matrices),
                                  to_python(data.benchmark_dict), py::cast(data.component_names));
          },
          "incremental"_a,
          "(source matrices, component masks, benchmark series, component names) of a full or incremental build.")
      .def_static(
          "_build_from_matrices",
          [](py::handle source) {
            MatrixMap matrices = to_matrix_map(source, "source");
            return to_python(released([&] { return GroupPreparedDataBuilder::_build_from_matrices(matrices); }));
          },
          "source"_a)
      .def(
          "_assemble_payload",
          [](const GroupPreparedDataBuilder& self, py::handle data, py::handle component_matrices,
             py::handle benchmark_dict, py::handle component_names, py::handle meta_time_key) {
            MatrixMap base = to_matrix_map(data, "data");
            MatrixMap masks = to_matrix_map(component_matrices, "component_matrices");
            backtest::BenchmarkDict series = to_benchmark_dict(benchmark_dict, "benchmark_dict");
            std::vector<std::string> names = require_text_list(component_names, "component_names");
            std::string key = require_text(meta_time_key, "meta_time_key");
            return to_python(released([&] { return self._assemble_payload(base, masks, series, names, key); }));
          },
          "data"_a, "component_matrices"_a, "benchmark_dict"_a, "component_names"_a, "meta_time_key"_a)
      .def(
          "_build_payload",
          [](const GroupPreparedDataBuilder& self, py::handle incremental, py::handle meta_time_key) {
            const bool batch = PyObject_IsTrue(incremental.ptr()) == 1;
            std::string key = require_text(meta_time_key, "meta_time_key");
            return to_built_payload(released([&] { return self._build_payload(batch, key); }));
          },
          "incremental"_a, "meta_time_key"_a);
}

}  // namespace velmora::python
