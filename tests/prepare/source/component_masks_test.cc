#include <gtest/gtest.h>

#include <limits>

#include "support/matrix_builders.h"
#include "velmora/backtest/builder.h"
#include "velmora/errors.h"
#include "velmora/in_memory_factor_service.h"

namespace velmora::backtest {
namespace {

using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;
using velmora::testing::matrix;
const double nan = NaN;
const double inf = std::numeric_limits<double>::infinity();

Cell text(const char* s) { return std::string(s); }

class ComponentMasksTest : public ::testing::Test {
 protected:
  ComponentMasksTest() : installed_(service_) {
    service_->set_factor_rows(QueryTable::from_rows(
        {"order_book_id", "date", "factor", "value"},
        {Row{text("000001.XSHE"), text("2024-01-03"), text("idx_a"), std::int64_t{1}},
         Row{text("600000.XSHG"), text("2024-01-02"), text("idx_a"), std::int64_t{0}},
         Row{text("000001.XSHE"), text("2024-01-02"), text("idx_b"), text("inf")},
         Row{text("600000.XSHG"), text("2024-01-02"), text("idx_b"), 0.5}}));
  }

  std::shared_ptr<InMemoryFactorService> service_ = std::make_shared<InMemoryFactorService>();
  ScopedFactorService installed_;
  GroupPreparedDataBuilder builder_{"20240101", "20240131"};
};

TEST_F(ComponentMasksTest, MembersAreFiniteNonZeroValuesAndTheRestIsNaN) {
  MatrixMap batch;
  // Rows out of order, so the mask's rows are sorted; columns keep their order.
  WideMatrix values = matrix({"20240103", "20240102"}, {"c", "a", "b", "d"}, {{1, 0, nan, inf}, {-inf, 0.5, -1, 2}});
  batch.set("idx", values);
  MatrixMap masks = builder_._component_matrices({"idx"}, &batch);
  ASSERT_EQ(masks.keys(), Strings{"idx"});
  EXPECT_LABELS(masks.at("idx"), ({"20240102", "20240103"}), ({"c", "a", "b", "d"}));
  EXPECT_CELLS(masks.at("idx"), ({{nan, 1.0, 1.0, 1.0}, {1.0, nan, nan, nan}}));
  EXPECT_EQ(masks.at("idx").cell_type(), CellType::float64);
  EXPECT_TRUE(service_->calls().empty());
}

TEST_F(ComponentMasksTest, ReadsWhatTheBatchLacksAndLeavesOutWhatCannotBeRead) {
  service_->fail_when(single_factor_call("idx_broken"), std::make_exception_ptr(VelmoraError("down")));
  MatrixMap batch;
  batch.set("idx_b", WideMatrix());
  MatrixMap masks = builder_._component_matrices({"idx_broken", "idx_a", "idx_none", "idx_b", "idx_a"}, &batch);
  EXPECT_EQ(masks.keys(), (Strings{"idx_a", "idx_b"}));
  EXPECT_LABELS(masks.at("idx_a"), ({"20240102", "20240103"}), ({"000001", "600000"}));
  EXPECT_CELLS(masks.at("idx_a"), ({{nan, nan}, {1.0, nan}}));
  EXPECT_CELLS(masks.at("idx_b"), ({{nan, 1.0}}));
  Strings queried;
  for (const auto& call : service_->calls()) queried.push_back(call.factor_names().front());
  EXPECT_EQ(queried, (Strings{"idx_broken", "idx_a", "idx_none", "idx_b", "idx_a"}));
}

TEST_F(ComponentMasksTest, WithoutABatchEveryComponentIsReadOnItsOwn) {
  EXPECT_TRUE(builder_._component_matrices({}).empty());
  EXPECT_TRUE(service_->calls().empty());
  MatrixMap masks = builder_._component_matrices({"idx_b"});
  EXPECT_CELLS(masks.at("idx_b"), ({{nan, 1.0}}));
  ASSERT_EQ(service_->calls().size(), 1u);
  EXPECT_TRUE(service_->calls()[0].is_single_factor());
}

}  // namespace
}  // namespace velmora::backtest
