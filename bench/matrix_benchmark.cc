// Wide-matrix operations at the size of a full history: 2,430 dates × 6,000 instruments (14.6 M cells).

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "velmora/backtest/parallel.h"
#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest {
namespace {

constexpr std::size_t DATES = 2430, INSTRUMENTS = 6000;

Labels date_labels(std::size_t n, std::size_t offset = 0) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(std::to_string(20000101 + (i + offset) * 3));
  return Labels(std::move(out));
}

Labels instrument_labels(std::size_t n, std::size_t offset = 0) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(std::to_string(100000 + i + offset));
  return Labels(std::move(out));
}

WideMatrix random_matrix(Labels rows, Labels cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> price(1.0, 100.0);
  std::vector<double> cells(rows.size() * cols.size());
  for (auto& c : cells) c = (rng() % 20 == 0) ? NaN : price(rng);
  return WideMatrix::from_grid(std::move(cells), std::move(rows), std::move(cols));
}

const WideMatrix& left() {
  static const WideMatrix m = random_matrix(date_labels(DATES), instrument_labels(INSTRUMENTS), 1);
  return m;
}
const WideMatrix& right_same_labels() {
  static const WideMatrix m = random_matrix(left().row_labels(), left().column_labels(), 2);
  return m;
}
// Shifted by a few dates and instruments, so both axes need the union.
const WideMatrix& right_other_labels() {
  static const WideMatrix m = random_matrix(date_labels(DATES, 5), instrument_labels(INSTRUMENTS, 50), 3);
  return m;
}

void set_threads(benchmark::State& state) { set_thread_count(static_cast<std::size_t>(state.range(0))); }

void report_cells(benchmark::State& state, const WideMatrix& m) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * m.cell_count()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.cell_count() * sizeof(double)));
}

void BM_MultiplySameLabels(benchmark::State& state) {
  set_threads(state);
  for (auto _ : state) benchmark::DoNotOptimize(left() * right_same_labels());
  report_cells(state, left());
}
BENCHMARK(BM_MultiplySameLabels)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MultiplyDifferentLabels(benchmark::State& state) {
  set_threads(state);
  for (auto _ : state) benchmark::DoNotOptimize(left() * right_other_labels());
  report_cells(state, left());
}
BENCHMARK(BM_MultiplyDifferentLabels)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AddWithFill(benchmark::State& state) {
  set_threads(state);
  for (auto _ : state) benchmark::DoNotOptimize(left().add(right_other_labels(), 0.0));
  report_cells(state, left());
}
BENCHMARK(BM_AddWithFill)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Shift(benchmark::State& state) {
  set_threads(state);
  for (auto _ : state) benchmark::DoNotOptimize(left().shift(-2));
  report_cells(state, left());
}
BENCHMARK(BM_Shift)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Rank(benchmark::State& state) {
  set_threads(state);
  for (auto _ : state) benchmark::DoNotOptimize(left().rank());
  report_cells(state, left());
}
BENCHMARK(BM_Rank)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Reindex(benchmark::State& state) {
  set_threads(state);
  const WideMatrix& target = right_other_labels();
  for (auto _ : state) benchmark::DoNotOptimize(left().reindex(target.row_labels(), target.column_labels()));
  report_cells(state, left());
}
BENCHMARK(BM_Reindex)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmora::backtest
