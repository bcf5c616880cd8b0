// The floor under every stage that makes new matrices: writing one matrix of full-history size (2,430 dates ×
// 6,000 instruments, 117 MB of doubles) into memory fresh from the system against memory the process has
// written before, on one and on two threads, split into row bands as the matrix operations split them.
//
// Fresh memory costs a page fault per page, and the kernel clears each page before handing it over; on
// some machines (virtual machines whose host takes freed memory back, in particular) that path hardly gets
// faster with more threads. Comparing the two fills tells how much of a stage's thread scaling the machine
// allows at all.

#include <benchmark/benchmark.h>

#include <algorithm>

#include "velmora/backtest/cells.h"
#include "velmora/backtest/parallel.h"
#include "velmora/backtest/wide_matrix.h"

namespace velmora::backtest {
namespace {

constexpr std::size_t CELLS = std::size_t{2430} * 6000;

void fill_in_bands(double* cells, double value) {
  parallel_for(CELLS, 1 << 16, [&](std::size_t begin, std::size_t end) { std::fill(cells + begin, cells + end, value); });
}

// Each iteration allocates the matrix's cells as a new matrix does, writes every cell and frees them.
void BM_FillFreshMemory(benchmark::State& state) {
  set_thread_count(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    FloatCells cells = allocate_float(CELLS);
    fill_in_bands(cells.get(), NaN);
    benchmark::DoNotOptimize(cells.get());
  }
  set_thread_count(0);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(CELLS * sizeof(double)));
}
BENCHMARK(BM_FillFreshMemory)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same writes into cells allocated and written once before the timing.
void BM_FillWrittenMemory(benchmark::State& state) {
  set_thread_count(static_cast<std::size_t>(state.range(0)));
  FloatCells cells = allocate_float(CELLS);
  fill_in_bands(cells.get(), 0.0);
  for (auto _ : state) {
    fill_in_bands(cells.get(), NaN);
    benchmark::DoNotOptimize(cells.get());
  }
  set_thread_count(0);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(CELLS * sizeof(double)));
}
BENCHMARK(BM_FillWrittenMemory)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmora::backtest
