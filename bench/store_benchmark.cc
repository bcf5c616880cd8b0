// The prepared-data store at full size: writing a 2,430 × 6,000 payload (twelve base matrices, three
// membership masks, three benchmark series), and loading a one-year slice of every dataset, mapped and read.
//
// Run by hand: build/<preset>/bench/store_benchmark [--benchmark_filter=...]. The store is written under the
// system temporary directory and removed at exit; it takes about 1.6 GB of disk and of memory.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "velmora/backtest/cells.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"

namespace {

using namespace velmora::backtest;
namespace fs = std::filesystem;

constexpr std::size_t DATES = 2430;
constexpr std::size_t INSTRUMENTS = 6000;
const std::vector<std::string> MASKS = {"rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
                                        "rq_index_components_new_000852.XSHG"};

Labels weekday_labels(std::size_t count) {
  std::vector<std::string> dates;
  for (std::int64_t day = days_from_yyyymmdd("20150105"); dates.size() < count; ++day) {
    if ((day + 3) % 7 < 5) dates.push_back(yyyymmdd_from_days(day));
  }
  return Labels(std::move(dates));
}

Labels instrument_labels(std::size_t count) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < count; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "%06zu", i < 3000 ? 1 + i : 600000 + i);
    keys.emplace_back(key);
  }
  return Labels(std::move(keys));
}

WideMatrix float_matrix(const Labels& rows, const Labels& cols, std::size_t seed) {
  std::size_t n = rows.size() * cols.size();
  FloatCells cells = allocate_float(n);
  for (std::size_t i = 0; i < n; ++i) cells[i] = (i + seed) % 13 == 0 ? NAN : static_cast<double>((i * 7 + seed) % 1009) * 0.01;
  return WideMatrix::from_cells(std::move(cells), rows, cols);
}

WideMatrix bool_matrix(const Labels& rows, const Labels& cols, std::size_t seed) {
  std::size_t n = rows.size() * cols.size();
  BoolCells cells = allocate_bool(n);
  for (std::size_t i = 0; i < n; ++i) cells[i] = (i + seed) % 5 != 0;
  return WideMatrix::from_cells(std::move(cells), rows, cols);
}

const Payload& full_payload() {
  static const Payload payload = [] {
    Labels rows = weekday_labels(DATES);
    Labels cols = instrument_labels(INSTRUMENTS);
    Payload p;
    p.version = PREPARED_DATA_VERSION;
    p.meta["component_names"] = MASKS;
    std::size_t seed = 0;
    for (const auto& [key, dtype] : BASE_MATRIX_DTYPE) {
      ++seed;
      p.data.set_matrix(key, dtype == BOOL_STORAGE_DTYPE ? bool_matrix(rows, cols, seed) : float_matrix(rows, cols, seed));
    }
    for (const auto& name : MASKS) p.data.set_matrix(component_dataset_key(name), float_matrix(rows, cols, ++seed));
    BenchmarkDict benchmarks;
    for (const auto& [name, code] : BENCHMARK_INDEX_CODES) benchmarks.set(name, DateSeries(rows, std::vector<double>(DATES, 0.001)));
    p.data.set_benchmark_dict(std::move(benchmarks));
    return p;
  }();
  return payload;
}

// A store directory for the whole run, removed at exit.
const fs::path& bench_dir() {
  struct Dir {
    fs::path path = fs::temp_directory_path() / ("velmora-store-bench-" + std::to_string(::getpid()));
    Dir() { fs::create_directories(path); }
    ~Dir() { fs::remove_all(path); }
  };
  static const Dir dir;
  return dir.path;
}

const BinaryPreparedDataStore& written_store() {
  static const BinaryPreparedDataStore store = [] {
    BinaryPreparedDataStore s(bench_dir() / "read", MASKS);
    s.write(full_payload());
    return s;
  }();
  return store;
}

void BM_WriteFullPayload(benchmark::State& state) {
  const Payload& payload = full_payload();
  BinaryPreparedDataStore store(bench_dir() / "write", MASKS);
  for (auto _ : state) store.write(payload);
  std::size_t bytes = 0;
  for (const auto& key : payload.data.keys()) {
    if (const WideMatrix* m = payload.data.find_matrix(key)) bytes += m->cell_count() * (m->cell_type() == CellType::float64 ? 8 : 1);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}
BENCHMARK(BM_WriteFullPayload)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_LoadOneYear(benchmark::State& state) {
  const BinaryPreparedDataStore& store = written_store();
  bool mmap = state.range(0) != 0;
  std::size_t rows = 0;
  for (auto _ : state) {
    auto payload = store.load(std::string("20230101"), std::string("20231231"), std::nullopt, mmap);
    rows = payload->data.matrix("close_price").rows();
    benchmark::DoNotOptimize(payload);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["datasets"] = static_cast<double>(store.load_metadata()["datasets"].size());
}
BENCHMARK(BM_LoadOneYear)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadOneYear)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_LoadMetadata(benchmark::State& state) {
  const BinaryPreparedDataStore& store = written_store();
  for (auto _ : state) benchmark::DoNotOptimize(store.load_metadata());
}
BENCHMARK(BM_LoadMetadata)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
