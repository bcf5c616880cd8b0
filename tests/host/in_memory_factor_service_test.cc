#include "velmora/in_memory_factor_service.h"

#include <gtest/gtest.h>

#include "velmora/errors.h"

namespace velmora {
namespace {

using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;

QueryTable factor_rows() {
  return QueryTable::from_rows({"order_book_id", "date", "factor", "value"},
                               {Row{std::string("000001.XSHE"), std::string("2024-01-02"), std::string("Close"), 10.0},
                                Row{std::string("000001.XSHE"), std::string("2024-01-02"), std::string("Open"), 9.5},
                                Row{std::string("600000.XSHG"), std::string("2024-01-03"), std::string("Close"), 7.0},
                                Row{std::string("600000.XSHG"), std::string("bad"), std::string("Close"), 8.0},
                                Row{std::string("000001.XSHE"), std::string("2024-01-05"), std::string("Open"), 9.0}});
}

Strings texts_of(const Column& column) {
  Strings out;
  for (std::size_t i = 0; i < column.size(); ++i) {
    Cell cell = column.cell(i);
    out.push_back(std::holds_alternative<std::string>(cell) ? std::get<std::string>(cell) : "<not text>");
  }
  return out;
}

TEST(InMemoryFactorService, AnswersSelectedFactorsWithinTheRange) {
  InMemoryFactorService service;
  service.set_factor_rows(factor_rows());
  auto answer = service.get_factors(std::string("Close"), "2024-01-03", std::nullopt);
  ASSERT_TRUE(answer);
  // The unreadable date is answered regardless of the range.
  EXPECT_EQ(texts_of(answer->column("date")), (Strings{"2024-01-03", "bad"}));

  answer = service.get_factors(Strings{"Open", "Close"}, "20240101", "20240102");
  ASSERT_TRUE(answer);
  EXPECT_EQ(texts_of(answer->column("factor")), (Strings{"Close", "Open", "Close"}));

  EXPECT_FALSE(service.get_factors(std::string("Volume"), std::nullopt, std::nullopt));
  EXPECT_THROW(service.get_factors(std::string("Close"), "2024/01/01", std::nullopt), ValueError);
}

TEST(InMemoryFactorService, AnswersTheWideLayout) {
  InMemoryFactorService service;
  service.set_factor_rows(factor_rows());
  service.set_layout(FactorLayout::wide);
  auto answer = service.get_factors(Strings{"Open", "Close", "Volume"}, std::nullopt, "2024-01-03");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->column_names(), (Strings{"order_book_id", "date", "Open", "Close"}));
  EXPECT_EQ(texts_of(answer->column("date")), (Strings{"2024-01-02", "2024-01-03", "bad"}));
  EXPECT_EQ(answer->column("Open").cell(0), Cell(9.5));
  EXPECT_TRUE(answer->column("Open").is_missing(1));
  EXPECT_EQ(answer->column("Close").cell(1), Cell(7.0));
}

TEST(InMemoryFactorService, TakesAWideTableAsItsFactorData) {
  InMemoryFactorService service;
  service.set_factor_rows(QueryTable::from_rows(
      {"order_book_id", "date", "Close", "Open"},
      {Row{std::string("000001.XSHE"), std::string("2024-01-02"), 10.0, Cell()},
       Row{std::string("600000.XSHG"), std::string("2024-01-03"), 7.0, std::string("6.5")}}));
  auto open = service.get_factors(std::string("Open"), std::nullopt, std::nullopt);
  ASSERT_TRUE(open);
  EXPECT_EQ(open->column_names(), (Strings{"order_book_id", "date", "factor", "value"}));
  EXPECT_EQ(texts_of(open->column("order_book_id")), Strings{"600000.XSHG"});
  EXPECT_EQ(open->column("value").cell(0), Cell(std::string("6.5")));

  service.set_layout(FactorLayout::wide);
  auto both = service.get_factors(Strings{"Close", "Open"}, std::nullopt, std::nullopt);
  ASSERT_TRUE(both);
  EXPECT_EQ(both->column_names(), (Strings{"order_book_id", "date", "Close", "Open"}));
  EXPECT_EQ(texts_of(both->column("date")), (Strings{"2024-01-02", "2024-01-03"}));
  EXPECT_TRUE(both->column("Open").is_missing(0));
}

TEST(InMemoryFactorService, RecordsEveryCallInOrderAndTellsASingleNameFromAList) {
  InMemoryFactorService service;
  service.fail_when(single_factor_call("Open"), std::make_exception_ptr(KeyError("boom")));
  service.get_factors(Strings{"Open"}, "2024-01-01", "2024-12-31");
  EXPECT_THROW(service.get_factors(std::string("Open"), std::nullopt, std::nullopt), KeyError);
  service.get_index_daily({"000852.XSHG", "000300.XSHG"}, "20240101", std::nullopt);

  auto calls = service.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[0].is_factor_list());
  EXPECT_EQ(calls[0].factor_names(), Strings{"Open"});
  EXPECT_EQ(calls[0].start_date, "2024-01-01");
  EXPECT_TRUE(calls[1].is_single_factor());
  EXPECT_EQ(calls[1].end_date, std::nullopt);
  EXPECT_EQ(calls[2].operation, FactorServiceCall::Operation::get_index_daily);
  EXPECT_EQ(calls[2].order_book_ids, (Strings{"000852.XSHG", "000300.XSHG"}));
  service.clear_calls();
  EXPECT_TRUE(service.calls().empty());
}

TEST(InMemoryFactorService, FixedAnswersAndFailuresFollowTheFirstMatchingRule) {
  InMemoryFactorService service;
  service.set_factor_rows(factor_rows());
  QueryTable fixed = QueryTable::from_rows({"order_book_id", "date"}, {Row{std::string("x"), std::string("y")}});
  service.answer_when(factor_list_call(), fixed);
  service.answer_when(any_call(), std::nullopt);
  service.fail_when(index_daily_call(), std::make_exception_ptr(VelmoraError("index down")));

  auto batch = service.get_factors(Strings{"Close"}, std::nullopt, std::nullopt);
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->column_names(), (Strings{"order_book_id", "date"}));
  EXPECT_FALSE(service.get_factors(std::string("Close"), std::nullopt, std::nullopt));
  try {
    service.get_index_daily({"000300.XSHG"}, std::nullopt, std::nullopt);
    ADD_FAILURE() << "no failure";
  } catch (const VelmoraError& e) {
    EXPECT_STREQ(e.what(), "index down");
  }
  EXPECT_EQ(service.calls().size(), 3u);
}

TEST(InMemoryFactorService, IndexRowsAreFilteredByCodeAndDate) {
  InMemoryFactorService service;
  service.set_index_rows(QueryTable::from_rows(
      {"order_book_id", "date", "close"},
      {Row{std::string("000300.XSHG"), std::string("2024-01-02"), 1.0},
       Row{std::string("000905.XSHG"), std::string("2024-01-02"), 2.0},
       Row{std::string("000300.XSHG"), std::string("2024-01-04"), 3.0}}));
  auto answer = service.get_index_daily({"000300.XSHG"}, "20240101", "20240103");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->num_rows(), 1u);
  EXPECT_EQ(answer->column("close").cell(0), Cell(1.0));
  EXPECT_FALSE(service.get_index_daily({"000852.XSHG"}, std::nullopt, std::nullopt));
}

TEST(FactorServiceInstance, ScopedInstallRestoresThePreviousService) {
  auto outer = std::make_shared<InMemoryFactorService>();
  auto inner = std::make_shared<InMemoryFactorService>();
  std::shared_ptr<FactorService> before = set_instance(outer);
  {
    ScopedFactorService scoped(inner);
    EXPECT_EQ(get_instance(), inner);
  }
  EXPECT_EQ(get_instance(), outer);
  set_instance(nullptr);
  try {
    get_instance();
    ADD_FAILURE() << "no failure without a service";
  } catch (const VelmoraError& e) {
    EXPECT_STREQ(e.what(), "no factor service is installed: call velmora::set_instance() first");
  }
  set_instance(before);
}

}  // namespace
}  // namespace velmora
