// Long-to-wide conversion of a factor-service answer: one matrix per requested factor name.

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "source/distinct_values.h"
#include "source/pivot.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/parallel.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/errors.h"
#include "velmora/query_table.h"

namespace velmora::backtest {

namespace {

// Characters of an order_book_id that make the instrument key: "000300.XSHG" → "000300".
constexpr std::size_t INSTRUMENT_KEY_LENGTH = 6;

// Groups are pivoted from their runs of consecutive rows when the runs are few (an answer ordered by factor
// has one run per factor); otherwise each group scans the whole table, filtered by its factor codes.
constexpr std::size_t MAX_RUNS_PER_ROW_DIVISOR = 64;
// Rows per thread below which finding the runs stays on one thread.
constexpr std::size_t MIN_ROWS_PER_CHUNK = 1 << 16;

struct Readings {
  EncodedColumn dates;
  EncodedColumn keys;
  std::vector<std::optional<std::string>> date_labels;
  std::vector<std::optional<std::string>> key_labels;
};

Readings read_labels(const QueryTable& table) {
  Readings readings;
  readings.dates = table.column("DataDate").encode();
  readings.keys = table.column("ukey").encode();
  readings.date_labels = source::distinct_dates(readings.dates);
  std::vector<std::string> texts = source::distinct_texts(readings.keys);
  readings.key_labels.reserve(texts.size());
  for (const auto& text : texts) readings.key_labels.emplace_back(source::first_characters(text, INSTRUMENT_KEY_LENGTH));
  return readings;
}

source::PivotInput pivot_input(const Readings& readings, const std::vector<double>& values) {
  source::PivotInput input;
  input.date_codes = *readings.dates.codes;
  input.key_codes = *readings.keys.codes;
  input.values = values.data();
  input.date_labels = &readings.date_labels;
  input.key_labels = &readings.key_labels;
  return input;
}

// The long layout with a factor column: the rows grouped by the text of their factor, each group that was
// asked for pivoted into its matrix.
void convert_groups(const QueryTable& table, const Readings& readings, const std::vector<double>& values,
                    MatrixMap& result) {
  EncodedColumn factors = table.column("factorname").encode();
  std::vector<std::string> texts = source::distinct_texts(factors);
  // Distinct factor values with the same text form are one group.
  std::unordered_map<std::string, std::int32_t> group_of_text;
  std::vector<std::string> group_names;
  std::vector<std::int32_t> group_of_code(texts.size(), -1);
  for (std::size_t code = 0; code < texts.size(); ++code) {
    if (!result.contains(texts[code])) continue;  // a factor that was not asked for
    auto [found, inserted] = group_of_text.try_emplace(texts[code], static_cast<std::int32_t>(group_names.size()));
    if (inserted) group_names.push_back(texts[code]);
    group_of_code[code] = found->second;
  }
  if (group_names.empty()) return;

  // Runs of consecutive rows of one group. The rows where the factor changes are found on all threads (an
  // answer of one factor has none), then the runs are read off them in order.
  const std::span<const std::int32_t> codes = *factors.codes;
  std::vector<std::pair<std::size_t, std::vector<std::size_t>>> changes_by_chunk;
  std::mutex merge;
  parallel_for(codes.size(), MIN_ROWS_PER_CHUNK, [&](std::size_t from, std::size_t to) {
    std::vector<std::size_t> changes;
    for (std::size_t row = std::max<std::size_t>(from, 1); row < to; ++row)
      if (codes[row] != codes[row - 1]) changes.push_back(row);
    std::lock_guard lock(merge);
    changes_by_chunk.emplace_back(from, std::move(changes));
  });
  std::sort(changes_by_chunk.begin(), changes_by_chunk.end());
  std::vector<std::vector<source::RowRange>> runs(group_names.size());
  std::size_t run_count = 0;
  std::size_t run_start = 0;
  auto close_run = [&](std::size_t end) {
    std::int32_t code = codes[run_start];
    std::int32_t group = code < 0 ? -1 : group_of_code[static_cast<std::size_t>(code)];
    if (group >= 0) {
      runs[static_cast<std::size_t>(group)].push_back({run_start, end});
      ++run_count;
    }
    run_start = end;
  };
  for (const auto& [from, changes] : changes_by_chunk)
    for (std::size_t change : changes) close_run(change);
  if (!codes.empty()) close_run(codes.size());
  const bool use_runs = run_count <= codes.size() / MAX_RUNS_PER_ROW_DIVISOR + group_names.size();

  // Each group fills its own entry, so the order of the groups does not matter.
  for (std::size_t g = 0; g < group_names.size(); ++g) {
    source::PivotInput input = pivot_input(readings, values);
    std::vector<std::uint8_t> in_group;
    if (use_runs) {
      input.ranges = std::move(runs[g]);
    } else {
      in_group.assign(texts.size(), 0);
      for (std::size_t code = 0; code < texts.size(); ++code) in_group[code] = group_of_code[code] == static_cast<std::int32_t>(g);
      input.ranges = {{0, codes.size()}};
      input.group_codes = codes;
      input.in_group = &in_group;
    }
    result.set(group_names[g], clean_matrix(source::pivot(input)));
  }
}

}  // namespace

MatrixMap GroupPreparedDataBuilder::_vm_factors_to_matrices(const QueryTable* df, const std::vector<std::string>& names) {
  MatrixMap result;
  for (const auto& name : names) {
    if (!result.contains(name)) result.set(name, WideMatrix());
  }
  if (df == nullptr || df->num_rows() == 0) return result;

  // Internal names; a table that carries both factor columns groups by `factor`.
  QueryTable table = df->rename("order_book_id", "ukey")
                         .rename("date", "DataDate")
                         .rename("value", "x")
                         .rename("factor_name", "factorname")
                         .rename("factor", "factorname");
  if (!table.has_column("ukey") || !table.has_column("DataDate")) {
    throw KeyError("因子查询返回结果缺少 order_book_id/date 列");
  }
  Readings readings = read_labels(table);

  if (table.has_column("x")) {
    std::shared_ptr<const std::vector<double>> values = table.column("x").numeric();
    if (table.has_column("factorname")) {
      convert_groups(table, readings, *values, result);
    } else if (names.size() == 1) {
      // Long rows without a factor column belong to the one name asked for.
      source::PivotInput input = pivot_input(readings, *values);
      input.ranges = {{0, table.num_rows()}};
      result.set(names.front(), clean_matrix(source::pivot(input)));
    }
    return result;
  }

  // Wide layout: one column per factor.
  for (const auto& name : result.keys()) {
    const Column* column = table.find(name);
    if (column == nullptr) continue;
    std::shared_ptr<const std::vector<double>> values = column->numeric();
    source::PivotInput input = pivot_input(readings, *values);
    input.ranges = {{0, table.num_rows()}};
    result.set(name, clean_matrix(source::pivot(input)));
  }
  return result;
}

}  // namespace velmora::backtest
