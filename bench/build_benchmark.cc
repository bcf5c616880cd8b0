// The build from the in-memory factor service at full-history size (2,430 dates × 6,000 instruments),
// stage by stage: reading and converting the source data, deriving the base matrices, assembling the
// payload, and the whole build() end to end. The service answers prebuilt per-factor tables, so the
// figures are the library's own work.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/parallel.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/in_memory_factor_service.h"

namespace velmora::backtest {
namespace {

constexpr std::size_t DATES = 2430, INSTRUMENTS = 6000;

// Weekdays from 2010-01-04 on, as "YYYY-MM-DD".
std::vector<std::string> date_texts() {
  std::vector<std::string> out;
  for (std::int64_t day = days_from_yyyymmdd("20100104"); out.size() < DATES; ++day) {
    if ((day + 3) % 7 >= 5) continue;  // 1970-01-01 was a Thursday: (day + 3) % 7 is 5 or 6 at weekends
    std::string text = yyyymmdd_from_days(day);
    out.push_back(text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2));
  }
  return out;
}

// Long rows of one factor: every instrument on every date (a `share` of them for membership factors).
QueryTable factor_table(const std::string& name, const std::vector<std::string>& dates,
                        const std::vector<std::string>& ids, std::size_t every_nth, unsigned seed) {
  std::vector<std::int32_t> id_codes, date_codes, factor_codes;
  std::vector<double> values;
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (std::size_t d = 0; d < dates.size(); ++d)
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if ((i + d / 60) % every_nth) continue;
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      id_codes.push_back(static_cast<std::int32_t>(i));
      date_codes.push_back(static_cast<std::int32_t>(d));
      factor_codes.push_back(0);
      values.push_back(every_nth > 1 ? 1.0 : 5.0 + static_cast<double>(state >> 44) / 65536.0);
    }
  return QueryTable({{"order_book_id", Column::text(std::move(id_codes), ids)},
                     {"date", Column::text(std::move(date_codes), dates)},
                     {"factor", Column::text(std::move(factor_codes), {name})},
                     {"value", Column::float64(std::move(values))}});
}

std::shared_ptr<InMemoryFactorService> preloaded_service() {
  static std::shared_ptr<InMemoryFactorService> service = [] {
    auto memory = std::make_shared<InMemoryFactorService>();
    std::vector<std::string> dates = date_texts(), ids;
    for (std::size_t i = 0; i < INSTRUMENTS; ++i) ids.push_back(std::to_string(100000 + i) + ".XSHE");
    unsigned seed = 1;
    for (const auto& name : REQUIRED_FACTOR_NAMES)
      memory->answer_when(single_factor_call(name), factor_table(name, dates, ids, 1, seed++));
    for (const auto& name : OPTIONAL_FACTOR_NAMES)
      memory->answer_when(single_factor_call(name), factor_table(name, dates, ids, 97, seed++));
    std::size_t every = 2;
    for (const auto& name : get_component_factor_names())
      memory->answer_when(single_factor_call(name), factor_table(name, dates, ids, every++, seed++));
    std::vector<std::vector<Cell>> index_rows;
    for (const auto& [short_name, code] : BENCHMARK_INDEX_CODES)
      for (const auto& date : dates) index_rows.push_back({code, date, 0.001});
    memory->answer_when(index_daily_call(), QueryTable::from_rows({"order_book_id", "date", "daily_return"}, index_rows));
    return memory;
  }();
  return service;
}

const GroupPreparedDataBuilder& builder() {
  static const GroupPreparedDataBuilder b("20000101", "20301231");
  return b;
}

void BM_ReadSourceData(benchmark::State& state) {
  set_thread_count(static_cast<std::size_t>(state.range(0)));
  ScopedFactorService installed(preloaded_service());
  for (auto _ : state) benchmark::DoNotOptimize(builder()._read_source_data(false));
}
BENCHMARK(BM_ReadSourceData)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_BuildFromMatrices(benchmark::State& state) {
  set_thread_count(static_cast<std::size_t>(state.range(0)));
  ScopedFactorService installed(preloaded_service());
  SourceData read = builder()._read_source_data(false);
  for (auto _ : state) benchmark::DoNotOptimize(GroupPreparedDataBuilder::_build_from_matrices(read.source));
}
BENCHMARK(BM_BuildFromMatrices)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_AssemblePayload(benchmark::State& state) {
  ScopedFactorService installed(preloaded_service());
  SourceData read = builder()._read_source_data(false);
  MatrixMap data = GroupPreparedDataBuilder::_build_from_matrices(read.source);
  for (auto _ : state)
    benchmark::DoNotOptimize(builder()._assemble_payload(data, read.component_matrices, read.benchmark_dict,
                                                         read.component_names, "created_at"));
}
BENCHMARK(BM_AssemblePayload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BuildEndToEnd(benchmark::State& state) {
  set_thread_count(static_cast<std::size_t>(state.range(0)));
  ScopedFactorService installed(preloaded_service());
  for (auto _ : state) benchmark::DoNotOptimize(builder().build());
}
BENCHMARK(BM_BuildEndToEnd)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace
}  // namespace velmora::backtest
