#include <gtest/gtest.h>

#include "support/call_log.h"
#include "support/expect_error.h"
#include "support/matrix_builders.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/in_memory_factor_service.h"

namespace velmora::backtest {
namespace {

using Row = std::vector<Cell>;
using Strings = std::vector<std::string>;
using testing::call_log;

// Two instruments over three days with every build input and component factor, and three benchmarks.
std::vector<Row> all_factor_rows(const Strings& skipped = {}) {
  Strings factors = BUILD_INPUT_NAMES;
  for (const auto& name : COMPONENT_FACTOR_NAMES) factors.push_back(name);
  std::vector<Row> rows;
  const Strings dates = {"2024-01-02", "2024-01-03", "2024-01-04"};
  for (const auto& factor : factors) {
    if (std::find(skipped.begin(), skipped.end(), factor) != skipped.end()) continue;
    for (std::size_t d = 0; d < dates.size(); ++d)
      for (const char* id : {"000001.XSHE", "600000.XSHG"})
        rows.push_back(Row{std::string(id), dates[d], factor, 10.0 + static_cast<double>(d)});
  }
  return rows;
}

QueryTable index_rows() {
  std::vector<Row> rows;
  for (const auto& [name, code] : BENCHMARK_INDEX_CODES)
    for (const char* date : {"2024-01-02", "2024-01-03"}) rows.push_back(Row{code, std::string(date), 0.01});
  return QueryTable::from_rows({"order_book_id", "date", "daily_return"}, rows);
}

class BuildPayloadTest : public ::testing::Test {
 protected:
  void serve(const Strings& skipped = {}) {
    service_->set_factor_rows(QueryTable::from_rows({"order_book_id", "date", "factor", "value"}, all_factor_rows(skipped)));
    service_->set_index_rows(index_rows());
  }
  Strings singles(const Strings& names) {
    Strings out;
    for (const auto& n : names) out.push_back("one:" + n);
    return out;
  }
  std::string index_call() {
    std::string line = "index:";
    for (const auto& [name, code] : BENCHMARK_INDEX_CODES) line += (line.size() > 6 ? "," : "") + code;
    return line;
  }

  std::shared_ptr<InMemoryFactorService> service_ = std::make_shared<InMemoryFactorService>();
  ScopedFactorService installed_{service_};
  GroupPreparedDataBuilder builder_{"20240101", "20240131"};
};

TEST_F(BuildPayloadTest, FullBuildReadsFactorByFactorInOrder) {
  serve();
  Payload payload = builder_.build();
  Strings expected = singles(REQUIRED_FACTOR_NAMES);
  for (const auto& s : singles(OPTIONAL_FACTOR_NAMES)) expected.push_back(s);
  for (const auto& s : singles(COMPONENT_FACTOR_NAMES)) expected.push_back(s);
  expected.push_back(index_call());
  EXPECT_EQ(call_log(*service_), expected);
  EXPECT_TRUE(payload.meta.contains("created_at"));
  EXPECT_FALSE(payload.meta.contains("updated_at"));
}

TEST_F(BuildPayloadTest, IncrementalBuildMakesOneBatchAndOnlyTheFallbackReads) {
  serve({"limit_up", "rq_get_dividend"});
  Payload payload = builder_.build_incremental();
  std::string batch = "list:";
  for (const auto& n : BUILD_INPUT_NAMES) batch += n + ",";
  for (const auto& n : COMPONENT_FACTOR_NAMES) batch += n + ",";
  batch.pop_back();
  // The batch re-reads both names without data; then "limit_up" is read once more for the source, while the
  // optional "rq_get_dividend" becomes a placeholder without another read.
  EXPECT_EQ(call_log(*service_),
            (Strings{batch, "one:limit_up", "one:rq_get_dividend", "one:limit_up", index_call()}));
  EXPECT_TRUE(payload.meta.contains("updated_at"));
  EXPECT_FALSE(payload.meta.contains("created_at"));
  // The placeholder takes the close's labels, all NaN, so the dividends derive to NaN over them.
  const WideMatrix& dividend = payload.data.matrix("rq_get_dividend");
  EXPECT_EQ(dividend.rows(), 3u);
  EXPECT_CELLS(dividend, ({{NaN, NaN}, {NaN, NaN}, {NaN, NaN}}));
}

TEST_F(BuildPayloadTest, PayloadHoldsVersionMetaAndDataInTheirOrder) {
  serve();
  Payload payload = builder_.build();
  EXPECT_EQ(payload.version, 1);
  Strings meta_keys;
  for (const auto& [key, value] : payload.meta.items()) meta_keys.push_back(key);
  EXPECT_EQ(meta_keys, (Strings{"start_date", "end_date", "ddb_start", "ddb_end", "component_names",
                                "component_dataset_keys", "created_at"}));
  EXPECT_EQ(payload.meta["start_date"], "20240101");
  EXPECT_EQ(payload.meta["ddb_end"], "20240131");
  EXPECT_EQ(payload.meta["component_names"].get<Strings>(), COMPONENT_FACTOR_NAMES);
  EXPECT_EQ(payload.meta["component_dataset_keys"][COMPONENT_FACTOR_NAMES[0]],
            component_dataset_key(COMPONENT_FACTOR_NAMES[0]));

  Strings data_keys = BASE_MATRIX_DTYPE.keys();
  for (const auto& name : COMPONENT_FACTOR_NAMES) data_keys.push_back(component_dataset_key(name));
  data_keys.push_back("benchmark_dict");
  EXPECT_EQ(payload.data.keys(), data_keys);
  EXPECT_EQ(payload.data.benchmark_dict()->keys(), (Strings{"000852", "000300", "000905"}));
  EXPECT_CELLS(payload.data.matrix(component_dataset_key(COMPONENT_FACTOR_NAMES[2])),
               ({{1, 1}, {1, 1}, {1, 1}}));
}

TEST_F(BuildPayloadTest, MissingMasksStopTheBuildListingEveryMissingName) {
  serve({COMPONENT_FACTOR_NAMES[1], COMPONENT_FACTOR_NAMES[3]});
  for (bool incremental : {false, true}) {
    service_->clear_calls();
    try {
      incremental ? builder_.build_incremental() : builder_.build();
      ADD_FAILURE() << "no error";
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "成分股矩阵缺失，无法精确生成二进制缓存: ['" + COMPONENT_FACTOR_NAMES[1] +
                                           "', '" + COMPONENT_FACTOR_NAMES[3] + "']");
    }
  }
}

TEST_F(BuildPayloadTest, AMissingMaskWhoseReadFailedCarriesThatFailureAsItsCause) {
  // Component 1 has no rows (no failure to report); component 3's read fails, and that failure, swallowed by
  // the component read, becomes the cause of the refusal. The message stays as it was.
  serve({COMPONENT_FACTOR_NAMES[1]});
  service_->fail_when(single_factor_call(COMPONENT_FACTOR_NAMES[3]), std::make_exception_ptr(VelmoraError("down")));
  std::exception_ptr error = testing::expect_error<ValueError>(
      [&] { builder_.build(); },
      "成分股矩阵缺失，无法精确生成二进制缓存: ['" + COMPONENT_FACTOR_NAMES[1] + "', '" + COMPONENT_FACTOR_NAMES[3] + "']");
  testing::expect_kind<VelmoraError>(testing::nested_cause(error),
                                     [](const VelmoraError& cause) { EXPECT_STREQ(cause.what(), "down"); });
}

TEST_F(BuildPayloadTest, AMissingMaskWithoutAFailedReadHasNoCause) {
  serve({COMPONENT_FACTOR_NAMES[1]});
  std::exception_ptr error = testing::expect_error<ValueError>(
      [&] { builder_.build(); }, "成分股矩阵缺失，无法精确生成二进制缓存: ['" + COMPONENT_FACTOR_NAMES[1] + "']");
  EXPECT_EQ(testing::nested_cause(error), nullptr);
}

TEST_F(BuildPayloadTest, AssemblyAddsMasksOutsideTheComponentListUnderTheirOwnKeys) {
  MatrixMap base;
  base.set("close_price", testing::matrix({"d1"}, {"A"}, {{1}}));
  MatrixMap masks;
  masks.set("extra", testing::matrix({"d1"}, {"A"}, {{1}}));
  masks.set("close_price", WideMatrix());  // a mask named like a base dataset gets its own key
  Payload payload = builder_._assemble_payload(base, masks, BenchmarkDict(), {}, "updated_at");
  EXPECT_EQ(payload.data.keys(), (Strings{"close_price", component_dataset_key("extra"),
                                          component_dataset_key("close_price"), "benchmark_dict"}));
  EXPECT_TRUE(payload.meta["component_names"].empty());
  EXPECT_TRUE(payload.meta["component_dataset_keys"].is_object());
  EXPECT_TRUE(payload.meta["component_dataset_keys"].empty());
}

}  // namespace
}  // namespace velmora::backtest
