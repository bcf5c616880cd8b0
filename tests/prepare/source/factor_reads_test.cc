#include <gtest/gtest.h>

#include <algorithm>

#include "support/call_log.h"
#include "support/matrix_builders.h"
#include "velmora/backtest/builder.h"
#include "velmora/errors.h"
#include "velmora/in_memory_factor_service.h"

namespace velmora::backtest {
namespace {

using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;
using velmora::testing::call_log;
using velmora::testing::matrix;
const double nan = NaN;

Cell text(const char* s) { return std::string(s); }

class FactorReadsTest : public ::testing::Test {
 protected:
  FactorReadsTest() : installed_(service_) {
    // Close and Open have data; rows are stored out of date order.
    service_->set_factor_rows(QueryTable::from_rows(
        {"order_book_id", "date", "factor", "value"},
        {Row{text("600000.XSHG"), text("2024-01-03"), text("Close"), 7.0},
         Row{text("000001.XSHE"), text("2024-01-02"), text("Close"), 10.0},
         Row{text("000001.XSHE"), text("2024-01-02"), text("Open"), 9.5},
         Row{text("000001.XSHE"), text("2023-12-29"), text("Open"), 1.0}}));
  }

  std::shared_ptr<InMemoryFactorService> service_ = std::make_shared<InMemoryFactorService>();
  ScopedFactorService installed_;
  GroupPreparedDataBuilder builder_{"20240101", "20240131"};
};

TEST_F(FactorReadsTest, SingleReadQueriesOneNameOverTheBuilderRange) {
  WideMatrix close = builder_._read_normal_factor_matrix("Close");
  EXPECT_LABELS(close, ({"20240102", "20240103"}), ({"000001", "600000"}));
  EXPECT_CELLS(close, ({{10.0, nan}, {nan, 7.0}}));
  auto calls = service_->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].is_single_factor());
  EXPECT_EQ(calls[0].factor_names(), Strings{"Close"});
  EXPECT_EQ(calls[0].start_date, "2024-01-01");
  EXPECT_EQ(calls[0].end_date, "2024-01-31");

  WideMatrix none = builder_._read_normal_factor_matrix("Volume");
  EXPECT_EQ(none.rows(), 0u);
  EXPECT_EQ(none.cols(), 0u);
}

TEST_F(FactorReadsTest, SingleReadPassesErrorsThrough) {
  service_->fail_when(single_factor_call("Close"), std::make_exception_ptr(VelmoraError("service down")));
  EXPECT_THROW(builder_._read_normal_factor_matrix("Close"), VelmoraError);
  service_->answer_when(single_factor_call("Open"), QueryTable::from_rows({"date", "value"}, {Row{text("2024-01-02"), 1.0}}));
  try {
    builder_._read_normal_factor_matrix("Open");
    ADD_FAILURE() << "no KeyError";
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "因子查询返回结果缺少 order_book_id/date 列");
  }
}

TEST_F(FactorReadsTest, BatchOfBlankNamesMakesNoQuery) {
  EXPECT_TRUE(builder_._read_normal_factor_batch(Strings{" ", ""}).empty());
  EXPECT_TRUE(builder_._read_normal_factor_batch(Value::array({" ", "\n"})).empty());
  EXPECT_TRUE(service_->calls().empty());
}

TEST_F(FactorReadsTest, BatchParsesNamesAndRereadsOnlyWhatCameBackEmpty) {
  MatrixMap batch = builder_._read_normal_factor_batch(Value::array({" Volume", "Close ", "", "Open", "High"}));
  EXPECT_EQ(batch.keys(), (Strings{"Volume", "Close", "Open", "High"}));
  EXPECT_EQ(call_log(*service_), (Strings{"list:Volume,Close,Open,High", "one:Volume", "one:High"}));
  EXPECT_CELLS(batch.at("Open"), ({{9.5}}));
  EXPECT_FALSE(batch.at("Volume").has_data());
}

TEST_F(FactorReadsTest, BatchNamesMustBeAListOfTextsBeforeAnyQuery) {
  struct Case {
    Value names;
    std::string message;
  } cases[] = {
      {Value(nullptr), "names must be a list, not null"},
      {Value("Close"), "names must be a list, not string"},
      {Value("Close, Open"), "names must be a list, not string"},
      {Value(3), "names must be a list, not number"},
      {Value(1.5), "names must be a list, not number"},
      {Value(true), "names must be a list, not boolean"},
      {Value::object({{"Close", 1}}), "names must be a list, not object"},
      {Value::array({"Close", 3}), "names must hold texts only, not number"},
      {Value::array({"Close", nullptr}), "names must hold texts only, not null"},
      {Value::array({Value::array({"Close"})}), "names must hold texts only, not array"},
  };
  for (const auto& c : cases) {
    try {
      builder_._read_normal_factor_batch(c.names);
      ADD_FAILURE() << "accepted " << c.names.dump();
    } catch (const TypeError& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.names.dump();
    }
  }
  EXPECT_TRUE(service_->calls().empty());
}

TEST_F(FactorReadsTest, FailedBatchFallsBackToSingleReadsWhoseErrorsPassThrough) {
  service_->fail_when(factor_list_call(), std::make_exception_ptr(VelmoraError("batch down")));
  MatrixMap batch = builder_._read_normal_factor_batch(Strings{"Open", "Close"});
  EXPECT_EQ(batch.keys(), (Strings{"Open", "Close"}));
  EXPECT_EQ(call_log(*service_), (Strings{"list:Open,Close", "one:Open", "one:Close"}));
  EXPECT_CELLS(batch.at("Close"), ({{10.0, nan}, {nan, 7.0}}));

  service_->fail_when(single_factor_call("Close"), std::make_exception_ptr(KeyError("single down")));
  try {
    builder_._read_normal_factor_batch(Strings{"Open", "Close"});
    ADD_FAILURE() << "the single read's error was swallowed";
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "single down");
  }
}

TEST_F(FactorReadsTest, BatchConversionErrorsAreSwallowedToo) {
  service_->answer_when(factor_list_call(), QueryTable::from_rows({"value"}, {Row{1.0}}));
  MatrixMap batch = builder_._read_normal_factor_batch(Strings{"Close"});
  EXPECT_EQ(call_log(*service_), (Strings{"list:Close", "one:Close"}));
  EXPECT_TRUE(batch.at("Close").has_data());
}

TEST_F(FactorReadsTest, RepeatedNameWithoutDataIsReadOncePerOccurrence) {
  MatrixMap batch = builder_._read_normal_factor_batch(Strings{"Volume", "Open", "Volume"});
  EXPECT_EQ(batch.keys(), (Strings{"Volume", "Open"}));
  EXPECT_EQ(call_log(*service_), (Strings{"list:Volume,Open,Volume", "one:Volume", "one:Volume"}));
}

TEST_F(FactorReadsTest, AFactorWithoutDataIsQueriedThreeTimesOnTheIncrementalPath) {
  MatrixMap batch = builder_._read_normal_factor_batch(Strings{"Volume"});
  WideMatrix volume = builder_._batch_or_read(batch, "Volume");
  EXPECT_EQ(call_log(*service_), (Strings{"list:Volume", "one:Volume", "one:Volume"}));
  EXPECT_EQ(volume.rows(), 0u);
  EXPECT_EQ(volume.cols(), 0u);
}

TEST_F(FactorReadsTest, BatchEntriesAreSortedWhileSingleReadsAreReturnedAsMade) {
  MatrixMap batch;
  batch.set("Close", matrix({"20240103", "20240102"}, {"b", "a"}, {{1, 2}, {3, 4}}));
  WideMatrix from_batch = builder_._batch_or_read(batch, "Close");
  EXPECT_LABELS(from_batch, ({"20240102", "20240103"}), ({"b", "a"}));
  EXPECT_CELLS(from_batch, ({{3, 4}, {1, 2}}));
  EXPECT_TRUE(service_->calls().empty());

  batch.set("Open", WideMatrix());
  EXPECT_CELLS(builder_._batch_or_read(batch, "Open"), ({{9.5}}));
  EXPECT_EQ(call_log(*service_), (Strings{"one:Open"}));
}

TEST_F(FactorReadsTest, ReadOrEmptyGivesTheReferenceShapedPlaceholder) {
  WideMatrix reference = matrix({"20240102", "20240103"}, {"x", "y"}, {{1, 2}, {3, 4}});
  MatrixMap batch;
  batch.set("Close", matrix({"20240103", "20240102"}, {"a"}, {{1}, {2}}));

  // With a batch: no single read, whatever the batch holds.
  WideMatrix placeholder = builder_._read_or_empty("Open", reference, &batch);
  EXPECT_LABELS(placeholder, ({"20240102", "20240103"}), ({"x", "y"}));
  EXPECT_CELLS(placeholder, ({{nan, nan}, {nan, nan}}));
  EXPECT_CELLS(builder_._read_or_empty("Close", reference, &batch), ({{2}, {1}}));
  EXPECT_TRUE(service_->calls().empty());

  // Without a batch: a single read first.
  EXPECT_CELLS(builder_._read_or_empty("Open", reference), ({{9.5}}));
  WideMatrix missing = builder_._read_or_empty("Volume", reference);
  EXPECT_LABELS(missing, ({"20240102", "20240103"}), ({"x", "y"}));
  EXPECT_CELLS(missing, ({{nan, nan}, {nan, nan}}));
  EXPECT_EQ(call_log(*service_), (Strings{"one:Open", "one:Volume"}));
}

TEST(EmptyLike, TakesTheReferenceLabelsAndTheFill) {
  WideMatrix reference = matrix({"20240102"}, {"a", "b"}, {{nan, 5}});
  WideMatrix zeros = GroupPreparedDataBuilder::_empty_like(reference, 0.0);
  EXPECT_LABELS(zeros, ({"20240102"}), ({"a", "b"}));
  EXPECT_CELLS(zeros, ({{0.0, 0.0}}));
  WideMatrix columns_only = GroupPreparedDataBuilder::_empty_like(matrix({}, {"a"}, {}));
  EXPECT_FALSE(columns_only.has_data());
}


// A service that hands a batch answer over in pieces, one group of factors each, in the order the groups
// are given, and can fail after handing over the first piece. Every other read goes to the in-memory
// service, which records it.
class PiecewiseService : public FactorService {
 public:
  PiecewiseService(std::shared_ptr<InMemoryFactorService> inner, std::vector<Strings> groups, bool fail_after_first)
      : inner_(std::move(inner)), groups_(std::move(groups)), fail_after_first_(fail_after_first) {}

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start,
                                        const std::optional<std::string>& end) override {
    return inner_->get_factors(factor, start, end);
  }
  void get_factors_by_factor(const Strings& names, const std::optional<std::string>& start,
                             const std::optional<std::string>& end,
                             const std::function<void(QueryTable piece)>& consume) override {
    std::optional<QueryTable> whole = inner_->get_factors(FactorSelection(names), start, end);
    if (!whole) return;
    bool first = true;
    for (const Strings& group : groups_) {
      std::vector<std::size_t> rows;
      for (std::size_t r = 0; r < whole->num_rows(); ++r) {
        std::string factor = std::get<std::string>(whole->column("factor").cell(r));
        if (std::find(group.begin(), group.end(), factor) != group.end()) rows.push_back(r);
      }
      if (rows.empty()) continue;
      if (!first && fail_after_first_) throw VelmoraError("connection lost");
      first = false;
      std::vector<std::pair<std::string, Column>> columns;
      for (const auto& name : whole->column_names()) columns.emplace_back(name, whole->column(name).take(rows));
      consume(QueryTable(std::move(columns)));
    }
  }
  std::optional<QueryTable> get_index_daily(const Strings& codes, const std::optional<std::string>& start,
                                            const std::optional<std::string>& end) override {
    return inner_->get_index_daily(codes, start, end);
  }

 private:
  std::shared_ptr<InMemoryFactorService> inner_;
  std::vector<Strings> groups_;
  bool fail_after_first_;
};

class BatchPiecesTest : public ::testing::Test {
 protected:
  // Rows of every factor out of date order, a later duplicate, integers, a text number, a gap.
  static std::shared_ptr<InMemoryFactorService> make_service() {
    auto service = std::make_shared<InMemoryFactorService>();
    service->set_factor_rows(QueryTable::from_rows(
        {"order_book_id", "date", "factor", "value"},
        {Row{text("600000.XSHG"), text("2024-01-03"), text("Close"), 7.0},
         Row{text("000001.XSHE"), text("2024-01-02"), text("Volume"), std::int64_t{300}},
         Row{text("000001.XSHE"), text("2024-01-02"), text("Close"), 10.0},
         Row{text("000001.XSHE"), text("2024-01-02"), text("Open"), text("9.5")},
         Row{text("600000.XSHG"), text("2024-01-02"), text("Volume"), std::int64_t{200}},
         Row{text("000001.XSHE"), text("2024-01-03"), text("Open"), Cell()},
         Row{text("000001.XSHE"), text("2024-01-02"), text("Close"), 10.5},
         Row{text("600000.XSHG"), text("2024-01-04"), text("Open"), 8.25}}));
    return service;
  }

  // The batch read through `service`, with the calls `recorder` saw.
  MatrixMap batch_through(std::shared_ptr<FactorService> service, InMemoryFactorService& recorder, Strings& calls) {
    recorder.clear_calls();
    ScopedFactorService installed(std::move(service));
    MatrixMap batch = builder_._read_normal_factor_batch(names_);
    calls = call_log(recorder);
    return batch;
  }

  static void expect_same_matrices(const MatrixMap& a, const MatrixMap& b, const std::string& context) {
    ASSERT_EQ(a.keys(), b.keys()) << context;
    for (const auto& name : a.keys()) EXPECT_TRUE(identical(a.at(name), b.at(name))) << context << " " << name;
  }

  std::shared_ptr<InMemoryFactorService> inner_ = make_service();
  GroupPreparedDataBuilder builder_{"20240101", "20240131"};
  const Strings names_ = {"Open", "Close", "Volume", "Absent"};
};

TEST_F(BatchPiecesTest, PiecesInAnySplitMakeTheMatricesOfTheWholeAnswer) {
  Strings calls;
  const MatrixMap whole = batch_through(inner_, *inner_, calls);
  EXPECT_EQ(calls, (Strings{"list:Open,Close,Volume,Absent", "one:Absent"}));
  EXPECT_CELLS(whole.at("Close"), ({{10.5, nan}, {nan, 7.0}}));
  EXPECT_CELLS(whole.at("Open"), ({{9.5, nan}, {nan, 8.25}}));  // the day of the gap alone is dropped

  const std::vector<std::vector<Strings>> splits = {
      {{"Close", "Open", "Volume"}}, {{"Close"}, {"Open"}, {"Volume"}}, {{"Volume"}, {"Open", "Close"}}, {{"Open"}, {"Volume", "Close"}}};
  for (const auto& groups : splits) {
    std::string context = std::to_string(groups.size()) + " pieces, first " + groups.front().front();
    const MatrixMap pieces = batch_through(std::make_shared<PiecewiseService>(inner_, groups, false), *inner_, calls);
    expect_same_matrices(pieces, whole, context);
    EXPECT_EQ(calls, (Strings{"list:Open,Close,Volume,Absent", "one:Absent"})) << context;
  }
}

TEST_F(BatchPiecesTest, AFailureAfterTheFirstPieceFallsBackToSingleReadsOfEveryName) {
  Strings calls;
  auto failing = make_service();
  failing->fail_when(factor_list_call(), std::make_exception_ptr(VelmoraError("batch down")));
  const MatrixMap singles = batch_through(failing, *failing, calls);
  EXPECT_EQ(calls, (Strings{"list:Open,Close,Volume,Absent", "one:Open", "one:Close", "one:Volume", "one:Absent"}));
  EXPECT_TRUE(singles.at("Close").has_data());

  const MatrixMap failed =
      batch_through(std::make_shared<PiecewiseService>(inner_, std::vector<Strings>{{"Close"}, {"Open"}, {"Volume"}}, true),
                    *inner_, calls);
  expect_same_matrices(failed, singles, "failed after one piece");
  EXPECT_EQ(calls, (Strings{"list:Open,Close,Volume,Absent", "one:Open", "one:Close", "one:Volume", "one:Absent"}));
}

}  // namespace
}  // namespace velmora::backtest
