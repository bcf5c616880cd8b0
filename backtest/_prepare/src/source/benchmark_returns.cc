// Benchmark daily-return series from the index quotes of the factor service.

#include <algorithm>
#include <cmath>
#include <numeric>

#include "source/distinct_values.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/factor_service.h"
#include "velmora/interruption.h"
#include "velmora/query_table.h"

namespace velmora::backtest {

namespace {

// Columns that carry the return itself, in order of preference after "daily_return".
constexpr const char* RETURN_COLUMNS[] = {"return", "returns", "pct_change", "change_rate"};

}  // namespace

DateSeries GroupPreparedDataBuilder::_format_benchmark_daily_return(const QueryTable* df,
                                                                    const std::string& benchmark_name,
                                                                    const std::string& index_code) {
  if (df == nullptr || df->num_rows() == 0) {
    throw KeyError("基准日频数据为空: " + benchmark_name + " (" + index_code + ")");
  }
  QueryTable table = df->rename("order_book_id", "ukey").rename("date", "DataDate");
  if (!table.has_column("DataDate")) throw KeyError(benchmark_name + " 基准缺少 DataDate 列");

  // Rows with a readable date, in ascending date order (stable: rows of one date keep their order).
  EncodedColumn dates = table.column("DataDate").encode();
  std::vector<std::optional<std::string>> date_of_code = source::distinct_dates(dates);
  const std::vector<std::int32_t>& date_codes = *dates.codes;
  auto date_of_row = [&](std::size_t row) -> const std::optional<std::string>& {
    return date_of_code[static_cast<std::size_t>(date_codes[row])];
  };
  std::vector<std::size_t> rows;
  for (std::size_t row = 0; row < table.num_rows(); ++row) {
    if (date_codes[row] >= 0 && date_of_row(row)) rows.push_back(row);
  }
  std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) { return *date_of_row(a) < *date_of_row(b); });

  // Only the rows of this index, matched on the whole code.
  if (const Column* ukey = table.find("ukey")) {
    EncodedColumn keys = ukey->encode();
    std::vector<std::string> texts = source::distinct_texts(keys);
    std::erase_if(rows, [&](std::size_t row) {
      std::int32_t code = (*keys.codes)[row];
      return code < 0 || texts[static_cast<std::size_t>(code)] != index_code;
    });
  }

  std::vector<double> returns(rows.size());
  if (const Column* given = table.find("daily_return")) {
    std::shared_ptr<const std::vector<double>> values = given->numeric();
    std::transform(rows.begin(), rows.end(), returns.begin(), [&](std::size_t row) { return (*values)[row]; });
  } else if (auto name = std::find_if(std::begin(RETURN_COLUMNS), std::end(RETURN_COLUMNS),
                                      [&](const char* column) { return table.has_column(column); });
             name != std::end(RETURN_COLUMNS)) {
    std::shared_ptr<const std::vector<double>> values = table.column(*name).numeric();
    std::transform(rows.begin(), rows.end(), returns.begin(), [&](std::size_t row) { return (*values)[row]; });
  } else if (const Column* close = table.find("close")) {
    // The simple return against the previous row of this index; a missing close leaves the returns on
    // both sides of it missing rather than bridging the gap.
    std::shared_ptr<const std::vector<double>> closes = close->numeric();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      returns[i] = i == 0 ? NaN : (*closes)[rows[i]] / (*closes)[rows[i - 1]] - 1.0;
    }
  } else {
    throw KeyError(benchmark_name + " 基准缺少 daily_return/close 列");
  }

  // Of several rows for one date the last one stands, even when its return is missing; then the dates
  // without a return are dropped.
  std::vector<std::string> labels;
  std::vector<double> values;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    bool last_of_date = i + 1 == rows.size() || *date_of_row(rows[i + 1]) != *date_of_row(rows[i]);
    if (!last_of_date || std::isnan(returns[i])) continue;
    labels.push_back(*date_of_row(rows[i]));
    values.push_back(returns[i]);
  }
  return DateSeries(Labels(std::move(labels)), std::move(values), BENCHMARK_SERIES_NAME);
}

BenchmarkDict GroupPreparedDataBuilder::_read_benchmark_dict() const {
  std::vector<std::string> codes;
  for (const auto& [name, code] : BENCHMARK_INDEX_CODES) codes.push_back(code);
  throw_if_interrupted();
  std::optional<QueryTable> df = get_instance()->get_index_daily(codes, default_start_, end_date_);
  BenchmarkDict result;
  for (const auto& [name, code] : BENCHMARK_INDEX_CODES) {
    result.set(name, _format_benchmark_daily_return(df ? &*df : nullptr, name, code));
  }
  return result;
}

}  // namespace velmora::backtest
