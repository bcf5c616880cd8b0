#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <random>

#include "support/matrix_builders.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/parallel.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

using testing::matrix;
constexpr double inf = std::numeric_limits<double>::infinity();

// Three dates × two instruments of plain prices, with every optional input as a NaN placeholder.
MatrixMap plain_source() {
  auto prices = matrix({"d1", "d2", "d3"}, {"A", "B"}, {{10, 20}, {11, 21}, {12, 22}});
  MatrixMap source;
  source.set("rq_industry_exposure_new", matrix({"d1"}, {"A"}, {{7}}));
  source.set("limit_down", prices * 0.9);
  source.set("limit_up", prices * 1.1);
  source.set("Close", prices);
  source.set("Open", prices);
  source.set("tick_vwap_price_935_1005", prices);
  source.set("tick_vwap_price_925_1000", prices);
  auto placeholder = WideMatrix::constant_like(prices);
  source.set("split_coefficient_to", placeholder);
  source.set("rq_get_dividend", placeholder);
  source.set("rq_is_suspended", placeholder);
  return source;
}

TEST(BuildFromMatrices, TwelveOutputsInOrderWithTheirCellTypes) {
  auto source = plain_source();
  auto out = GroupPreparedDataBuilder::_build_from_matrices(source);
  ASSERT_EQ(out.keys(), BASE_MATRIX_DTYPE.keys());
  for (const auto& [key, dtype] : BASE_MATRIX_DTYPE)
    EXPECT_EQ(out.at(key).cell_type() == CellType::boolean, dtype == "bool") << key;
  // Pass-through outputs are the source matrices themselves.
  EXPECT_EQ(out.at("close_price").float_cells(), source.at("Close").float_cells());
  EXPECT_EQ(out.at("industry_matrix").float_cells(), source.at("rq_industry_exposure_new").float_cells());
  EXPECT_CELLS(out.at("prev_close"), {{NaN, NaN}, {10, 20}, {11, 21}});
  // All-NaN suspension placeholder: everything tradable-flagged, so nothing can be bought.
  EXPECT_CELLS(out.at("cant_sell_stock"), {{1, 1}, {1, 1}, {1, 1}});
  EXPECT_CELLS(out.at("can_buy_stock"), {{0, 0}, {0, 0}, {0, 0}});
}

TEST(BuildFromMatrices, ValidCloseMaskAndCorporateActionsWithAsymmetricRowBounds) {
  auto source = plain_source();
  source.set("Close", matrix({"d2", "d3"}, {"A", "B"}, {{10, inf}, {NaN, 5}}));
  source.set("split_coefficient_to",
             matrix({"d1", "d2", "d3", "d4"}, {"A", "C"}, {{10, 10}, {20, 20}, {30, 30}, {40, 40}}));
  source.set("rq_get_dividend", matrix({"d1", "d2", "d3", "d4"}, {"A"}, {{1}, {2}, {3}, {4}}));
  auto out = GroupPreparedDataBuilder::_build_from_matrices(source);

  EXPECT_CELLS(out.at("close_price_valid"), {{1, NaN}, {NaN, 1}});
  const auto& split = out.at("rq_get_split");
  EXPECT_LABELS(split, ({"d2", "d3", "d4"}), ({"A", "B", "C"}));  // d1 precedes the first close date
  EXPECT_CELLS(split, {{2, NaN, NaN}, {NaN, NaN, NaN}, {NaN, NaN, NaN}});
  const auto& dividend = out.at("rq_get_dividend");
  EXPECT_LABELS(dividend, ({"d1", "d2", "d3"}), ({"A", "B"}));  // d4 follows the last close date
  EXPECT_CELLS(dividend, {{NaN, NaN}, {2.0 / 10.0 * 0.9, NaN}, {NaN, NaN}});
}

TEST(BuildFromMatrices, CloseWithoutRowsLeavesNoCorporateActionRows) {
  auto source = plain_source();
  source.set("Close", WideMatrix());
  source.set("split_coefficient_to", matrix({"d1"}, {"A"}, {{10}}));
  source.set("rq_get_dividend", matrix({"d1"}, {"A"}, {{10}}));
  auto out = GroupPreparedDataBuilder::_build_from_matrices(source);
  EXPECT_EQ(out.at("rq_get_split").rows(), 0u);
  EXPECT_EQ(out.at("rq_get_dividend").rows(), 0u);
  EXPECT_EQ(out.at("prev_close").rows(), 0u);
  EXPECT_EQ(out.at("forward_return_rank_cache").rows(), 3u);
}

// One row per line of the permission truth table. Columns: E true/false via price == limit, F = filter.
TEST(BuildFromMatrices, PermissionTruthTable) {
  auto source = plain_source();
  // Columns: A (E true, F 1.0), B (E false, F 1.0), C (E true, flag 1), D (E false, flag 1),
  //          E (E true, absent from the flags), F (E false, absent from the flags)
  auto price = matrix({"d1"}, {"A", "B", "C", "D", "E", "F"}, {{1, 1, 1, 1, 1, 1}});
  auto limit = matrix({"d1"}, {"A", "B", "C", "D", "E", "F"}, {{1, 2, 1, 2, 1, 2}});
  // G and H exist only in the flags: G tradable (NaN flag → 1.0), H suspended (flag 1 → NaN).
  auto flags = matrix({"d1"}, {"A", "B", "C", "D", "G", "H"}, {{0, NaN, 1, 1, NaN, 1}});
  source.set("tick_vwap_price_925_1000", price);
  source.set("tick_vwap_price_935_1005", price);
  source.set("limit_down", limit);
  source.set("limit_up", limit);
  source.set("rq_is_suspended", flags);
  auto out = GroupPreparedDataBuilder::_build_from_matrices(source);
  const auto& cant_sell = out.at("cant_sell_stock");
  EXPECT_LABELS(cant_sell, ({"d1"}), ({"A", "B", "C", "D", "E", "F", "G", "H"}));
  EXPECT_CELLS(cant_sell, {{1, 1, 1, 0, 1, 0, 1, 0}});
  EXPECT_CELLS(out.at("can_buy_stock"), {{0, 0, 0, 1, 0, 1, 0, 0}});
}

TEST(BuildFromMatrices, ForwardReturnRankSkipsInfiniteReturnsAndShortHistories) {
  auto source = plain_source();
  source.set("Open", matrix({"d1", "d2", "d3", "d4"}, {"A", "B", "C", "D"},
                            {{1, 1, 1, 1}, {10, 0, 10, 0}, {20, 5, 20, 0}, {10, 10, 30, 10}}));
  auto out = GroupPreparedDataBuilder::_build_from_matrices(source);
  // d1: returns 1, +inf, 1, NaN → ranks 1.5, NaN, 1.5, NaN; d2: -0.5, 1, 0.5, +inf → 1, 3, 2, NaN
  EXPECT_CELLS(out.at("forward_return_rank_cache"),
               {{1.5, NaN, 1.5, NaN}, {1, 3, 2, NaN}, {NaN, NaN, NaN, NaN}, {NaN, NaN, NaN, NaN}});
  source.set("Open", matrix({"d1", "d2"}, {"A"}, {{1}, {2}}));
  EXPECT_CELLS(GroupPreparedDataBuilder::_build_from_matrices(source).at("forward_return_rank_cache"),
               {{NaN}, {NaN}});
}

// The derived matrices that are computed rather than passed through, written step by step with one matrix
// per operation, the plain way: the oracle that the build's one-pass chains must match cell for cell.
MatrixMap derived_step_by_step(const MatrixMap& source) {
  const WideMatrix& close = source.at("Close");
  const WideMatrix valid = close * 0.0 + 1.0;
  const auto first = close.min_row_label(), last = close.max_row_label();
  const WideMatrix raw = source.at("rq_is_suspended");
  const WideMatrix filter = WideMatrix::constant_like(raw, 1.0).where(raw.ne(1.0));
  auto permission_sum = [&](const std::string& price, const std::string& limit) {
    const WideMatrix& p = source.at(price);
    return p.equals(source.at(limit).reindex(p.row_labels(), p.column_labels())).add(filter, 0.0);
  };
  MatrixMap out;
  out.set("close_price_valid", valid);
  out.set("rq_get_split", ((source.at("split_coefficient_to") / 10.0) * valid).filter_rows([&](const std::string& d) {
    return first && d >= *first;
  }));
  out.set("rq_get_dividend",
          (source.at("rq_get_dividend") / 10.0 * 0.9 + (valid - 1.0)).filter_rows([&](const std::string& d) {
            return last && d <= *last;
          }));
  out.set("cant_sell_stock", permission_sum("tick_vwap_price_925_1000", "limit_down").gt(0.0));
  out.set("can_buy_stock", permission_sum("tick_vwap_price_935_1005", "limit_up").le(0.0));
  return out;
}

// Same labels and cell type, and every cell the same bits, except that any NaN matches any NaN.
::testing::AssertionResult same_matrix(const WideMatrix& a, const WideMatrix& b) {
  if (a.cell_type() != b.cell_type()) return ::testing::AssertionFailure() << "cell types differ";
  if (!(a.row_labels() == b.row_labels()) || !(a.column_labels() == b.column_labels()))
    return ::testing::AssertionFailure() << "labels differ";
  for (std::size_t r = 0; r < a.rows(); ++r)
    for (std::size_t c = 0; c < a.cols(); ++c) {
      const double x = a.value(r, c), y = b.value(r, c);
      if (std::isnan(x) && std::isnan(y)) continue;
      if (std::bit_cast<std::uint64_t>(x) != std::bit_cast<std::uint64_t>(y))
        return ::testing::AssertionFailure() << "cell (" << r << ", " << c << "): " << x << " against " << y;
    }
  return ::testing::AssertionSuccess();
}

// Random matrices over random subsets of shared labels, so that every pair of inputs meets with equal,
// overlapping, disjoint or empty labels, with cells drawn from the values that the formulas treat apart.
class RandomSource {
 public:
  explicit RandomSource(unsigned seed) : random_(seed) {}

  WideMatrix matrix(std::size_t max_rows, std::size_t max_cols, bool boolean = false) {
    if (pick(12) == 0) return WideMatrix();
    Labels rows = subset("d", max_rows), cols = subset("i", max_cols);
    std::vector<double> cells(rows.size() * cols.size());
    for (double& cell : cells) cell = boolean ? static_cast<double>(pick(2)) : value();
    WideMatrix grid = WideMatrix::from_grid(std::move(cells), std::move(rows), std::move(cols));
    return boolean ? grid.astype(CellType::boolean) : grid;
  }
  // The matrix with the same labels and, in about half of the cells, the same value.
  WideMatrix partner(const WideMatrix& m) {
    std::vector<double> cells(m.cell_count());
    for (std::size_t k = 0; k < cells.size(); ++k)
      cells[k] = pick(2) ? m.value(k / m.cols(), k % m.cols()) : value();
    return WideMatrix::from_grid(std::move(cells), m.row_labels(), m.column_labels());
  }
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

 private:
  double value() {
    static constexpr double values[] = {NaN, inf, -inf, 0.0, -0.0, 1.0, 1.0, 2.5, 10.0, -3.0, 0.1, 1e308};
    return values[pick(std::size(values))];
  }
  // Ascending labels prefix0..prefixN-1, each kept with a random share (all of them sometimes).
  Labels subset(const std::string& prefix, std::size_t n) {
    const std::size_t keep_out_of_8 = pick(3) == 0 ? 8 : 1 + pick(7);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < n; ++k) {
      if (pick(8) >= keep_out_of_8) continue;
      const std::string digits = std::to_string(k);
      names.push_back(prefix + std::string(4 - std::min<std::size_t>(4, digits.size()), '0') + digits);
    }
    return Labels(std::move(names));
  }
  std::mt19937 random_;
};

TEST(BuildFromMatrices, OnePassChainsGiveTheCellsOfTheFormulasStepByStep) {
  struct Scale {
    std::size_t rows, cols, threads, trials;
  } scales[] = {{6, 5, 1, 300}, {6, 5, 2, 100}, {240, 700, 2, 6}};
  for (const Scale& scale : scales) {
    set_thread_count(scale.threads);
    RandomSource random(static_cast<unsigned>(scale.rows * 31 + scale.threads));
    for (std::size_t trial = 0; trial < scale.trials; ++trial) {
      MatrixMap source = plain_source();
      const WideMatrix close = random.matrix(scale.rows, scale.cols);
      source.set("Close", close);
      for (const auto& [price, limit] : {std::pair{"tick_vwap_price_925_1000", "limit_down"},
                                         std::pair{"tick_vwap_price_935_1005", "limit_up"}}) {
        // The price often has the close's labels, and the limit the price's, as factors read together do.
        WideMatrix p = random.pick(2) ? random.partner(close) : random.matrix(scale.rows, scale.cols);
        source.set(price, p);
        source.set(limit, random.pick(2) ? random.partner(p) : random.matrix(scale.rows, scale.cols));
      }
      source.set("split_coefficient_to", random.pick(2) ? random.partner(close) : random.matrix(scale.rows, scale.cols));
      source.set("rq_get_dividend", random.pick(2) ? random.partner(close) : random.matrix(scale.rows, scale.cols));
      source.set("rq_is_suspended", random.matrix(scale.rows, scale.cols, /*boolean=*/random.pick(3) == 0));

      const MatrixMap built = GroupPreparedDataBuilder::_build_from_matrices(source);
      for (const auto& [key, expected] : derived_step_by_step(source))
        ASSERT_TRUE(same_matrix(built.at(key), expected))
            << key << ", scale " << scale.rows << "x" << scale.cols << " on " << scale.threads << " threads, trial "
            << trial;
    }
  }
  set_thread_count(0);
}

TEST(BuildFromMatrices, ReportsTheFirstAbsentSourceKeyInLookupOrder) {
  struct Case {
    std::vector<std::string> removed;
    std::string reported;
  } cases[] = {{{"limit_down", "Open"}, "limit_down"},
               {{"rq_is_suspended", "split_coefficient_to"}, "split_coefficient_to"},
               {{"rq_is_suspended"}, "rq_is_suspended"}};
  for (const auto& c : cases) {
    MatrixMap source;
    for (const auto& [key, m] : plain_source())
      if (std::find(c.removed.begin(), c.removed.end(), key) == c.removed.end()) source.set(key, m);
    try {
      GroupPreparedDataBuilder::_build_from_matrices(source);
      ADD_FAILURE() << "no error for " << c.reported;
    } catch (const KeyError& e) {
      EXPECT_STREQ(e.what(), c.reported.c_str());
    }
  }
}

}  // namespace
}  // namespace velmora::backtest
