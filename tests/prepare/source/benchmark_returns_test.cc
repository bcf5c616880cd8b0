#include <gtest/gtest.h>

#include <cmath>

#include "velmora/backtest/builder.h"
#include "velmora/errors.h"
#include "velmora/in_memory_factor_service.h"

namespace velmora::backtest {
namespace {

using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;

Cell text(const char* s) { return std::string(s); }

// The series as "date=value" lines, values rounded to 1e-9.
Strings entries(const DateSeries& series) {
  Strings out;
  for (std::size_t i = 0; i < series.size(); ++i) {
    char value[64];
    std::snprintf(value, sizeof value, "%.9g", std::round(series.values()[i] * 1e9) / 1e9);
    out.push_back(series.dates()[i] + "=" + value);
  }
  return out;
}

DateSeries format(const QueryTable& table, const char* code = "000300.XSHG") {
  return GroupPreparedDataBuilder::_format_benchmark_daily_return(&table, "000300", code);
}

std::string key_error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const KeyError& e) {
    return e.what();
  }
  return "<no KeyError>";
}

TEST(BenchmarkReturns, ComputesReturnsFromClosesOfOneIndexAndKeepsTheLastRowOfADate) {
  QueryTable table = QueryTable::from_rows(
      {"order_book_id", "date", "close"},
      {Row{text("000300.XSHG"), text("2024-01-04"), 121.0},
       Row{text("000905.XSHG"), text("2024-01-03"), 500.0},
       Row{text("000300.XSHG"), text("2024-01-02"), 100.0},
       Row{text("000300.XSHG"), text("2024-01-03"), 110.0},
       Row{text("000300.XSHG"), text("2024-01-03"), text("115.5")},  // second row of that date
       Row{text("000300.XSHG"), text("garbage"), 1.0}});
  DateSeries series = format(table);
  // 01-03 (first row): 110/100-1 = 0.1; (second row) 115.5/110-1 = 0.05, which stands; 01-04: 121/115.5-1.
  EXPECT_EQ(entries(series), (Strings{"20240103=0.05", "20240104=0.047619048"}));
  EXPECT_EQ(series.name(), "index_daily_return");
}

TEST(BenchmarkReturns, PrefersDailyReturnThenTheFirstReturnColumnThenClose) {
  QueryTable with_daily = QueryTable::from_rows(
      {"order_book_id", "date", "daily_return", "close"},
      {Row{text("000300.XSHG"), text("20240102"), 0.01, 100.0}, Row{text("000300.XSHG"), text("20240103"), text("x"), 200.0},
       Row{text("000300.XSHG"), text("20240104"), text("-0.02"), 50.0}});
  EXPECT_EQ(entries(format(with_daily)), (Strings{"20240102=0.01", "20240104=-0.02"}));

  QueryTable with_returns = QueryTable::from_rows(
      {"order_book_id", "date", "change_rate", "returns", "close"},
      {Row{text("000300.XSHG"), text("2024-01-02"), 9.0, 0.03, 1.0}});
  EXPECT_EQ(entries(format(with_returns)), (Strings{"20240102=0.03"}));

  QueryTable with_pct = QueryTable::from_rows({"date", "pct_change"}, {Row{text("2024-01-02"), std::int64_t{1}}});
  EXPECT_EQ(entries(format(with_pct)), (Strings{"20240102=1"}));
}

TEST(BenchmarkReturns, WithoutAnIdentifierColumnEveryRowBelongsToTheIndex) {
  QueryTable table = QueryTable::from_rows({"date", "daily_return"},
                                           {Row{text("2024-01-03"), 0.2}, Row{text("2024-01-02"), 0.1}});
  EXPECT_EQ(entries(format(table, "000852.XSHG")), (Strings{"20240102=0.1", "20240103=0.2"}));
}

TEST(BenchmarkReturns, ALaterDuplicateWithoutAReturnRemovesTheDate) {
  QueryTable table = QueryTable::from_rows(
      {"order_book_id", "date", "daily_return"},
      {Row{text("000300.XSHG"), text("2024-01-02"), 0.1}, Row{text("000300.XSHG"), text("2024-01-02"), Cell()},
       Row{text("000300.XSHG"), text("2024-01-03"), 0.3}});
  EXPECT_EQ(entries(format(table)), (Strings{"20240103=0.3"}));
}

TEST(BenchmarkReturns, UnusableAnswersAreKeyErrorsNamingTheBenchmark) {
  EXPECT_EQ(key_error_of([] { GroupPreparedDataBuilder::_format_benchmark_daily_return(nullptr, "000852", "000852.XSHG"); }),
            "基准日频数据为空: 000852 (000852.XSHG)");
  QueryTable no_rows = QueryTable::from_rows({"date", "close"}, {});
  EXPECT_EQ(key_error_of([&] { format(no_rows); }), "基准日频数据为空: 000300 (000300.XSHG)");
  QueryTable no_date = QueryTable::from_rows({"order_book_id", "close"}, {Row{text("000300.XSHG"), 1.0}});
  EXPECT_EQ(key_error_of([&] { format(no_date); }), "000300 基准缺少 DataDate 列");
  QueryTable no_return = QueryTable::from_rows({"order_book_id", "date", "open"}, {Row{text("000905.XSHG"), text("2024-01-02"), 1.0}});
  EXPECT_EQ(key_error_of([&] { format(no_return); }), "000300 基准缺少 daily_return/close 列");
}

class BenchmarkDictTest : public ::testing::Test {
 protected:
  BenchmarkDictTest() : installed_(service_) {}
  std::shared_ptr<InMemoryFactorService> service_ = std::make_shared<InMemoryFactorService>();
  ScopedFactorService installed_;
  GroupPreparedDataBuilder builder_{"20240101", "20240131"};
};

TEST_F(BenchmarkDictTest, OneQueryServesEveryBenchmarkInOrder) {
  service_->set_index_rows(QueryTable::from_rows(
      {"order_book_id", "date", "close"},
      {Row{text("000300.XSHG"), text("2024-01-02"), 100.0}, Row{text("000852.XSHG"), text("2024-01-02"), 10.0},
       Row{text("000300.XSHG"), text("2024-01-03"), 101.0}, Row{text("000852.XSHG"), text("2024-01-03"), 11.0}}));
  BenchmarkDict dict = builder_._read_benchmark_dict();
  EXPECT_EQ(dict.keys(), (Strings{"000852", "000300", "000905"}));
  EXPECT_EQ(entries(dict.at("000852")), (Strings{"20240103=0.1"}));
  EXPECT_EQ(entries(dict.at("000300")), (Strings{"20240103=0.01"}));
  EXPECT_TRUE(dict.at("000905").empty());
  auto calls = service_->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, FactorServiceCall::Operation::get_index_daily);
  EXPECT_EQ(calls[0].order_book_ids, (Strings{"000852.XSHG", "000300.XSHG", "000905.XSHG"}));
  EXPECT_EQ(calls[0].start_date, "20240101");
  EXPECT_EQ(calls[0].end_date, "20240131");
}

TEST_F(BenchmarkDictTest, AnEmptyAnswerFailsOnTheFirstBenchmarkAndServiceErrorsPassThrough) {
  EXPECT_EQ(key_error_of([&] { builder_._read_benchmark_dict(); }), "基准日频数据为空: 000852 (000852.XSHG)");
  service_->fail_when(index_daily_call(), std::make_exception_ptr(VelmoraError("quotes down")));
  EXPECT_THROW(builder_._read_benchmark_dict(), VelmoraError);
}

}  // namespace
}  // namespace velmora::backtest
