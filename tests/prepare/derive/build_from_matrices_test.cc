#include <gtest/gtest.h>

#include <limits>

#include "support/matrix_builders.h"
#include "velmora/backtest/builder.h"
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
