#include "source/pivot.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>

#include "velmora/backtest/cells.h"
#include "velmora/backtest/parallel.h"

namespace velmora::backtest::source {

namespace {

// Below this many rows per thread the work stays on the calling thread.
constexpr std::size_t MIN_ROWS_PER_THREAD = 1 << 16;

// Bands of grid rows filled by one thread: at least this many cells each.
std::size_t min_rows_per_band(std::size_t cols) { return std::max<std::size_t>(1, (1 << 16) / std::max<std::size_t>(1, cols)); }

// Distinct labels → dense positions in ascending label order.
struct LabelIndex {
  std::vector<std::int32_t> label_of_code;  // code → label id, -1 for none
  std::vector<std::string> labels;          // label id → text, ascending
};

LabelIndex index_labels(const std::vector<std::optional<std::string>>& code_labels) {
  LabelIndex index;
  index.label_of_code.assign(code_labels.size(), -1);
  std::vector<std::pair<std::string_view, std::size_t>> sorted;
  for (std::size_t code = 0; code < code_labels.size(); ++code) {
    if (code_labels[code]) sorted.emplace_back(*code_labels[code], code);
  }
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i == 0 || sorted[i].first != sorted[i - 1].first) index.labels.emplace_back(sorted[i].first);
    index.label_of_code[sorted[i].second] = static_cast<std::int32_t>(index.labels.size() - 1);
  }
  return index;
}

// Calls `visit(row)` for every row of `ranges[first..]` that belongs to the matrix, from table row `from`
// (inclusive) up to `to` (exclusive) in the concatenation of the ranges.
template <typename Visit>
void for_each_row(const PivotInput& input, const std::vector<std::size_t>& starts, std::size_t from, std::size_t to,
                  Visit visit) {
  std::size_t r = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), from) - starts.begin()) - 1;
  const bool filtered = input.in_group != nullptr;
  for (; r < input.ranges.size() && starts[r] < to; ++r) {
    std::size_t begin = input.ranges[r].begin + (from > starts[r] ? from - starts[r] : 0);
    std::size_t end = input.ranges[r].begin + std::min(to - starts[r], input.ranges[r].end - input.ranges[r].begin);
    for (std::size_t row = begin; row < end; ++row) {
      if (filtered) {
        std::int32_t group = input.group_codes[row];
        if (group < 0 || !(*input.in_group)[static_cast<std::size_t>(group)]) continue;
      }
      visit(row);
    }
  }
}

}  // namespace

WideMatrix pivot(const PivotInput& input) {
  LabelIndex dates = index_labels(*input.date_labels);
  LabelIndex keys = index_labels(*input.key_labels);

  std::vector<std::size_t> starts(input.ranges.size() + 1, 0);
  for (std::size_t r = 0; r < input.ranges.size(); ++r) starts[r + 1] = starts[r] + input.ranges[r].end - input.ranges[r].begin;
  const std::size_t total = starts.back();
  starts.pop_back();
  if (starts.empty()) starts.push_back(0);

  // Which labels carry at least one usable row; and whether every row has a date label, in ascending order
  // (as answers ordered by date have them), which lets each band of the grid find its own rows.
  std::vector<std::uint8_t> date_used(dates.labels.size(), 0), key_used(keys.labels.size(), 0);
  struct ChunkOrder {
    std::size_t from = 0;
    bool ascending = true;
    std::int32_t first = -1, last = -1;
  };
  std::vector<ChunkOrder> chunk_orders;
  std::mutex merge;
  const bool plain_ranges = input.in_group == nullptr;
  parallel_for(total, MIN_ROWS_PER_THREAD, [&](std::size_t from, std::size_t to) {
    std::vector<std::uint8_t> local_dates(dates.labels.size(), 0), local_keys(keys.labels.size(), 0);
    ChunkOrder order{from};
    for_each_row(input, starts, from, to, [&](std::size_t row) {
      std::int32_t date_code = input.date_codes[row], key_code = input.key_codes[row];
      std::int32_t date = date_code < 0 ? -1 : dates.label_of_code[static_cast<std::size_t>(date_code)];
      if (date < 0 || date < order.last) order.ascending = false;
      if (order.first < 0) order.first = date;
      order.last = date;
      if (key_code < 0 || std::isnan(input.values[row])) return;
      std::int32_t key = keys.label_of_code[static_cast<std::size_t>(key_code)];
      if (date < 0 || key < 0) return;
      local_dates[static_cast<std::size_t>(date)] = 1;
      local_keys[static_cast<std::size_t>(key)] = 1;
    });
    std::lock_guard lock(merge);
    for (std::size_t i = 0; i < local_dates.size(); ++i) date_used[i] |= local_dates[i];
    for (std::size_t i = 0; i < local_keys.size(); ++i) key_used[i] |= local_keys[i];
    chunk_orders.push_back(order);
  });
  std::sort(chunk_orders.begin(), chunk_orders.end(), [](const ChunkOrder& a, const ChunkOrder& b) { return a.from < b.from; });
  bool dated_in_order = plain_ranges;
  for (std::size_t i = 0; i < chunk_orders.size() && dated_in_order; ++i) {
    dated_in_order = chunk_orders[i].ascending && (i == 0 || chunk_orders[i - 1].last <= chunk_orders[i].first);
  }

  // Dense positions of the used labels (already in ascending order), then per code.
  auto positions = [](const LabelIndex& index, const std::vector<std::uint8_t>& used, std::vector<std::string>& out) {
    std::vector<std::int32_t> position_of_label(index.labels.size(), -1);
    for (std::size_t label = 0; label < index.labels.size(); ++label) {
      if (!used[label]) continue;
      position_of_label[label] = static_cast<std::int32_t>(out.size());
      out.push_back(index.labels[label]);
    }
    std::vector<std::int32_t> position_of_code(index.label_of_code.size(), -1);
    for (std::size_t code = 0; code < position_of_code.size(); ++code) {
      std::int32_t label = index.label_of_code[code];
      if (label >= 0) position_of_code[code] = position_of_label[static_cast<std::size_t>(label)];
    }
    return position_of_code;
  };
  std::vector<std::string> row_labels, column_labels;
  std::vector<std::int32_t> row_of_code = positions(dates, date_used, row_labels);
  std::vector<std::int32_t> column_of_code = positions(keys, key_used, column_labels);

  const std::size_t rows = row_labels.size(), cols = column_labels.size();
  FloatCells cells = allocate_float(rows * cols);
  parallel_for(rows, min_rows_per_band(cols), [&](std::size_t first_row, std::size_t last_row) {
    std::fill(cells.get() + first_row * cols, cells.get() + last_row * cols, NaN);
  });
  // The first input row (in the concatenation of the ranges) whose date label is `label` or later, when the
  // rows are in date order.
  std::vector<std::int32_t> label_of_row;
  for (std::size_t label = 0; label < date_used.size(); ++label)
    if (date_used[label]) label_of_row.push_back(static_cast<std::int32_t>(label));
  auto first_input_row = [&](std::size_t matrix_row) {
    if (matrix_row >= rows) return total;
    const std::int32_t label = label_of_row[matrix_row];
    std::size_t low = 0, high = total;
    while (low < high) {
      std::size_t middle = low + (high - low) / 2;
      std::size_t r = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), middle) - starts.begin()) - 1;
      std::size_t row = input.ranges[r].begin + (middle - starts[r]);
      if (dates.label_of_code[static_cast<std::size_t>(input.date_codes[row])] < label) low = middle + 1;
      else high = middle;
    }
    return low;
  };
  // Each worker owns a band of matrix rows and visits the input in table order, so the last row of a pair
  // wins whatever the number of workers: only the band's own rows when the rows are in date order, else
  // all of them.
  const std::size_t min_bands = std::max<std::size_t>(1, rows * MIN_ROWS_PER_THREAD / std::max<std::size_t>(1, total));
  parallel_for(rows, min_bands, [&](std::size_t first_row, std::size_t last_row) {
    const std::size_t band = last_row - first_row;
    double* grid = cells.get();
    const std::size_t from = dated_in_order ? first_input_row(first_row) : 0;
    const std::size_t to = dated_in_order ? first_input_row(last_row) : total;
    for_each_row(input, starts, from, to, [&](std::size_t row) {
      std::int32_t date_code = input.date_codes[row], key_code = input.key_codes[row];
      if (date_code < 0 || key_code < 0) return;
      std::int32_t r = row_of_code[static_cast<std::size_t>(date_code)];
      std::int32_t c = column_of_code[static_cast<std::size_t>(key_code)];
      double value = input.values[row];
      if (r < 0 || c < 0 || std::isnan(value)) return;
      std::size_t offset = static_cast<std::size_t>(r) - first_row;
      if (offset >= band) return;
      grid[static_cast<std::size_t>(r) * cols + static_cast<std::size_t>(c)] = value;
    });
  });
  return WideMatrix::from_cells(std::move(cells), Labels(std::move(row_labels)), Labels(std::move(column_labels)));
}

}  // namespace velmora::backtest::source
