// A factor-service answer built from fuzz bytes (columns of mixed kinds, repeated rows, dates and
// identifiers in many spellings, long and wide layouts) through the long-to-wide conversion and the
// benchmark return series. Both results are compared with a slow reference written here from the rules
// alone: a map (date, key) → last value per factor, labels sorted; and for the benchmark, the rows of the
// index sorted by date, the return column by preference or the close-based return, the last row of each
// date, missing returns dropped. Same labels, same cells (NaN equals NaN), same errors.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/query_table.h"

namespace vb = velmora::backtest;
using velmora::Cell;
using velmora::DateTime;

namespace {

constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();

// Each pool pairs a cell with what the rules make of it, written out by hand.
struct DateCase {
  Cell cell;
  std::optional<std::string> date;
};
const std::vector<DateCase> DATES = {
    {std::string("2024-01-02"), "20240102"},
    {std::string("20240102"), "20240102"},
    {std::string("2024/1/3"), "20240103"},
    {std::string(" 2024-01-03"), "20240103"},
    {std::string("2024-01-04T09:30:00"), "20240104"},
    {std::string("2024-01-04 15:00"), "20240104"},
    {std::string("20240230"), std::nullopt},
    {std::string("abc"), std::nullopt},
    {std::string(""), std::nullopt},
    {std::int64_t{20240105}, "20240105"},
    {std::int64_t{2024}, std::nullopt},
    {20240105.0, std::nullopt},
    {DateTime{1704412800000000}, "20240105"},
    {DateTime{1704585599999999}, "20240106"},
    {DateTime{-43200000000}, "19691231"},
    {std::monostate{}, std::nullopt},
};

struct KeyCase {
  Cell cell;
  std::optional<std::string> key;  // the instrument key (first six characters of the text form)
  std::string text;                // the whole text form, for the benchmark's index match
};
const std::vector<KeyCase> KEYS = {
    {std::string("000001.XSHE"), "000001", "000001.XSHE"},
    {std::string("000001.XSHG"), "000001", "000001.XSHG"},
    {std::string("600000.XSHG"), "600000", "600000.XSHG"},
    {std::string("00000"), "00000", "00000"},
    {std::string("ab\xE2\x82\xAC" "cdefg"), "ab\xE2\x82\xAC" "cde", "ab\xE2\x82\xAC" "cdefg"},
    {std::string("000852.XSHG"), "000852", "000852.XSHG"},
    {std::string("000852"), "000852", "000852"},
    {std::int64_t{600000}, "600000", "600000"},
    {std::int64_t{852}, "852", "852"},
    {1.5, "1.5", "1.5"},
    {std::monostate{}, std::nullopt, ""},
};

struct ValueCase {
  Cell cell;
  double value;
};
const std::vector<ValueCase> VALUES = {
    {1.5, 1.5},
    {-2.0, -2.0},
    {0.0, 0.0},
    {1e308, 1e308},
    {NAN_VALUE, NAN_VALUE},
    {std::int64_t{3}, 3.0},
    {std::int64_t{-7}, -7.0},
    {std::string("1.5"), 1.5},
    {std::string("2"), 2.0},
    {std::string("abc"), NAN_VALUE},
    {std::monostate{}, NAN_VALUE},
};

struct FactorCase {
  Cell cell;
  std::optional<std::string> text;
};
const std::vector<FactorCase> FACTORS = {
    {std::string("f1"), "f1"}, {std::string("f2"), "f2"}, {std::string("f3"), "f3"},
    {std::int64_t{1}, "1"},     {1.0, "1.0"},              {std::monostate{}, std::nullopt},
};

const char* const NAME_POOL[] = {"f1", "f2", "1", "1.0"};

// The columns a table may have; which ones it has is chosen by the input.
enum ColumnKind { DATE, KEY, VALUE, FACTOR, FACTOR_NAME, WIDE_F1, WIDE_F2, DAILY_RETURN, RETURNS, CHANGE_RATE, CLOSE };
const char* const COLUMN_NAMES[] = {"date",     "order_book_id", "value",       "factor",  "factor_name", "f1",
                                    "f2",       "daily_return",  "returns",     "change_rate", "close"};
constexpr int COLUMN_COUNT = 11;

struct Table {
  std::vector<int> kinds;                    // the columns present, in table order
  std::vector<std::vector<std::size_t>> at;  // row → column → pool index
  bool has(int kind) const { return std::find(kinds.begin(), kinds.end(), kind) != kinds.end(); }
  std::size_t pick(std::size_t row, int kind) const {
    return at[row][static_cast<std::size_t>(std::find(kinds.begin(), kinds.end(), kind) - kinds.begin())];
  }
};

std::size_t pool_size(int kind) {
  switch (kind) {
    case DATE: return DATES.size();
    case KEY: return KEYS.size();
    case FACTOR:
    case FACTOR_NAME: return FACTORS.size();
    default: return VALUES.size();
  }
}

const Cell& cell_of(int kind, std::size_t i) {
  switch (kind) {
    case DATE: return DATES[i].cell;
    case KEY: return KEYS[i].cell;
    case FACTOR:
    case FACTOR_NAME: return FACTORS[i].cell;
    default: return VALUES[i].cell;
  }
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// A column's kind follows its cells as they arrive: integers beside doubles become doubles while the column
// holds numbers only; from the first text or date-time on, every further cell keeps its own kind (the cells
// before it stay as they were held). So an integer row reads as a double when a double arrives before the
// column's first text or date-time (or anywhere in a column of numbers only) and the integer comes before
// that text or date-time.
bool promotes_integer(const Table& table, int kind, std::size_t row) {
  bool has_double = false;
  for (std::size_t r = 0; r < table.at.size(); ++r) {
    const Cell& cell = cell_of(kind, table.pick(r, kind));
    if (std::holds_alternative<std::string>(cell) || std::holds_alternative<DateTime>(cell)) {
      return row < r && has_double;
    }
    has_double = has_double || std::holds_alternative<double>(cell);
  }
  return has_double;
}

// The cells of one row as the rules read them, the column's kind applied.
struct RowReading {
  std::optional<std::string> date;
  std::optional<std::string> key;       // first six characters
  std::optional<std::string> key_text;  // the whole text form
  std::optional<std::string> factor;    // the text form
};

RowReading read_row(const Table& table, std::size_t row, int factor_kind) {
  RowReading out;
  if (table.has(DATE)) {
    const DateCase& date = DATES[table.pick(row, DATE)];
    bool integer_as_double = std::holds_alternative<std::int64_t>(date.cell) && promotes_integer(table, DATE, row);
    out.date = integer_as_double ? std::nullopt : date.date;  // a double is never a date
  }
  if (table.has(KEY)) {
    const KeyCase& key = KEYS[table.pick(row, KEY)];
    if (std::holds_alternative<std::int64_t>(key.cell) && promotes_integer(table, KEY, row)) {
      std::string text = vb::value_text(velmora::Value(static_cast<double>(std::get<std::int64_t>(key.cell))));
      out.key_text = text;
      out.key = text.substr(0, 6);  // ASCII
    } else if (key.key) {
      out.key_text = key.text;
      out.key = key.key;
    }
  }
  if (factor_kind >= 0) {
    const FactorCase& factor = FACTORS[table.pick(row, factor_kind)];
    if (std::holds_alternative<std::int64_t>(factor.cell) && promotes_integer(table, factor_kind, row)) {
      out.factor = vb::value_text(velmora::Value(static_cast<double>(std::get<std::int64_t>(factor.cell))));
    } else {
      out.factor = factor.text;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// The reference

using Grid = std::map<std::pair<std::string, std::string>, double>;  // (date, key) → value

// A matrix as sorted labels and cells.
struct Expected {
  std::vector<std::string> rows, cols;
  Grid cells;
};

Expected pivot_rows(const Table& table, const std::vector<std::size_t>& rows, int value_kind) {
  Expected out;
  for (std::size_t row : rows) {
    const RowReading reading = read_row(table, row, -1);
    const auto& date = reading.date;
    const auto& key = reading.key;
    double value = VALUES[table.pick(row, value_kind)].value;
    if (!date || !key || std::isnan(value)) continue;
    out.cells[{*date, *key}] = value;  // the last row of a pair wins
  }
  for (const auto& [pair, value] : out.cells) {
    out.rows.push_back(pair.first);
    out.cols.push_back(pair.second);
  }
  for (auto* labels : {&out.rows, &out.cols}) {
    std::sort(labels->begin(), labels->end());
    labels->erase(std::unique(labels->begin(), labels->end()), labels->end());
  }
  return out;
}

void compare(const vb::WideMatrix& got, const std::optional<Expected>& expected, const std::string& name) {
  if (!expected) {
    FUZZ_CHECK(got.rows() == 0 && got.cols() == 0, "%s should be the empty matrix", name.c_str());
    return;
  }
  if (expected->rows.empty()) {
    FUZZ_CHECK(got.rows() == 0, "%s should have no rows", name.c_str());
    return;
  }
  auto joined = [](const std::vector<std::string>& labels) {
    std::string text;
    for (const auto& label : labels) text += "[" + label + "]";
    return text;
  };
  FUZZ_CHECK(got.row_labels().names() == expected->rows, "%s: row labels %s, expected %s", name.c_str(),
             joined(got.row_labels().names()).c_str(), joined(expected->rows).c_str());
  FUZZ_CHECK(got.column_labels().names() == expected->cols, "%s: column labels %s, expected %s", name.c_str(),
             joined(got.column_labels().names()).c_str(), joined(expected->cols).c_str());
  FUZZ_CHECK(got.cell_type() == vb::CellType::float64);
  for (std::size_t r = 0; r < got.rows(); ++r) {
    for (std::size_t c = 0; c < got.cols(); ++c) {
      auto found = expected->cells.find({expected->rows[r], expected->cols[c]});
      double want = found == expected->cells.end() ? NAN_VALUE : found->second;
      FUZZ_CHECK(same(got.value(r, c), want), "%s: cell (%s, %s) is %g, not %g", name.c_str(), expected->rows[r].c_str(),
                 expected->cols[c].c_str(), got.value(r, c), want);
    }
  }
}

void check_conversion(const Table& table, const velmora::QueryTable& query, const std::vector<std::string>& names) {
  // Reference: the entries, in first-occurrence order, and each one's matrix (nothing: the empty matrix).
  std::vector<std::string> order;
  for (const auto& name : names) {
    if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);
  }
  std::map<std::string, std::optional<Expected>> expected;
  bool key_error = false;
  const std::size_t row_count = table.at.size();
  if (row_count > 0) {
    key_error = !table.has(KEY) || !table.has(DATE);
    if (!key_error && table.has(VALUE)) {
      // "factor" wins over "factor_name" when both are present.
      int factor = table.has(FACTOR) ? FACTOR : table.has(FACTOR_NAME) ? FACTOR_NAME : -1;
      if (factor >= 0) {
        for (const auto& name : order) {
          std::vector<std::size_t> rows;
          for (std::size_t row = 0; row < row_count; ++row) {
            if (read_row(table, row, factor).factor == name) rows.push_back(row);
          }
          if (!rows.empty()) expected[name] = pivot_rows(table, rows, VALUE);
        }
      } else if (names.size() == 1) {
        std::vector<std::size_t> rows(row_count);
        for (std::size_t row = 0; row < row_count; ++row) rows[row] = row;
        expected[names.front()] = pivot_rows(table, rows, VALUE);
      }
    } else if (!key_error) {
      for (const auto& name : order) {
        int kind = name == "f1" ? WIDE_F1 : name == "f2" ? WIDE_F2 : -1;
        if (kind < 0 || !table.has(kind)) continue;
        std::vector<std::size_t> rows(row_count);
        for (std::size_t row = 0; row < row_count; ++row) rows[row] = row;
        expected[name] = pivot_rows(table, rows, kind);
      }
    }
  }

  vb::MatrixMap result;
  try {
    result = vb::GroupPreparedDataBuilder::_vm_factors_to_matrices(&query, names);
  } catch (const velmora::KeyError&) {
    FUZZ_CHECK(key_error, "KeyError for a table that has its key and date columns");
    return;
  }
  FUZZ_CHECK(!key_error, "no KeyError for a table without its key or date column");
  FUZZ_CHECK(result.keys() == order, "the entries are not the distinct names in order");
  for (const auto& name : order) compare(result.at(name), expected[name], name);
}

void check_benchmark(const Table& table, const velmora::QueryTable& query) {
  const std::string code = "000852.XSHG";
  const std::size_t row_count = table.at.size();
  enum { OK, EMPTY, NO_DATE, NO_RETURN } expected_error = OK;
  std::vector<std::string> labels;
  std::vector<double> values;
  if (row_count == 0) {
    expected_error = EMPTY;
  } else if (!table.has(DATE)) {
    expected_error = NO_DATE;
  } else {
    int source = table.has(DAILY_RETURN) ? DAILY_RETURN
                 : table.has(RETURNS)    ? RETURNS
                 : table.has(CHANGE_RATE) ? CHANGE_RATE
                 : table.has(CLOSE)      ? CLOSE
                                         : -1;
    if (source < 0) {
      expected_error = NO_RETURN;
    } else {
      std::vector<std::size_t> rows;
      auto date_of = [&](std::size_t row) { return read_row(table, row, -1).date; };
      for (std::size_t row = 0; row < row_count; ++row) {
        if (date_of(row)) rows.push_back(row);
      }
      std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) { return *date_of(a) < *date_of(b); });
      if (table.has(KEY)) {
        std::erase_if(rows, [&](std::size_t row) { return read_row(table, row, -1).key_text != code; });
      }
      std::map<std::string, double> last;  // date → the return of its last row
      for (std::size_t i = 0; i < rows.size(); ++i) {
        double value;
        if (source == CLOSE) {
          value = i == 0 ? NAN_VALUE
                         : VALUES[table.pick(rows[i], CLOSE)].value / VALUES[table.pick(rows[i - 1], CLOSE)].value - 1.0;
        } else {
          value = VALUES[table.pick(rows[i], source)].value;
        }
        last[*date_of(rows[i])] = value;
      }
      for (const auto& [date, value] : last) {
        if (std::isnan(value)) continue;
        labels.push_back(date);
        values.push_back(value);
      }
    }
  }

  try {
    vb::DateSeries series = vb::GroupPreparedDataBuilder::_format_benchmark_daily_return(&query, "csi1000", code);
    FUZZ_CHECK(expected_error == OK, "the benchmark series should have failed (%d)", static_cast<int>(expected_error));
    FUZZ_CHECK(series.dates().names() == labels, "benchmark dates differ");
    FUZZ_CHECK(series.values().size() == values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      FUZZ_CHECK(same(series.values()[i], values[i]), "benchmark return on %s is %g, not %g", labels[i].c_str(),
                 series.values()[i], values[i]);
    }
  } catch (const velmora::KeyError& error) {
    FUZZ_CHECK(expected_error != OK, "unexpected KeyError: %s", error.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  Table table;
  const unsigned mask = data[0] | (data[1] << 8);
  for (int kind = 0; kind < COLUMN_COUNT; ++kind) {
    if (mask & (1u << kind)) table.kinds.push_back(kind);
  }
  std::vector<std::string> names;
  for (int i = 0; i < 1 + (data[2] & 3) && i < 3; ++i) names.push_back(NAME_POOL[(data[2] >> (2 + 2 * i)) & 3]);

  // One byte per cell, row after row.
  std::size_t pos = 3;
  if (!table.kinds.empty()) {
    while (pos + table.kinds.size() <= size && table.at.size() < 64) {
      std::vector<std::size_t> row;
      for (int kind : table.kinds) row.push_back(data[pos++] % pool_size(kind));
      table.at.push_back(std::move(row));
    }
  }

  std::vector<std::string> column_names;
  for (int kind : table.kinds) column_names.push_back(COLUMN_NAMES[kind]);
  std::vector<std::vector<Cell>> rows;
  for (const auto& picks : table.at) {
    std::vector<Cell> row;
    for (std::size_t c = 0; c < picks.size(); ++c) row.push_back(cell_of(table.kinds[c], picks[c]));
    rows.push_back(std::move(row));
  }
  const velmora::QueryTable query = velmora::QueryTable::from_rows(column_names, rows);

  check_conversion(table, query, names);
  check_benchmark(table, query);
  return 0;
}
