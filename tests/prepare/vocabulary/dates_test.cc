#include "velmora/backtest/dates.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

TEST(NormalizeYyyymmdd, AcceptsTheCommonFormsWithOptionalTime) {
  struct Case {
    const char* input;
    const char* expected;
  } cases[] = {
      {"20240102", "20240102"},          {"2024-01-02", "20240102"},         {"2024/01/02", "20240102"},
      {"2024-1-2", "20240102"},          {"2024-01-02 15:30", "20240102"},   {"2024-01-02T15:30:01", "20240102"},
      {"20240102 09:30:00.123", "20240102"}, {"2024-01-02T00:00:00+08:00", "20240102"},
      {"2024-02-29", "20240229"},
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_yyyymmdd(c.input), c.expected) << c.input;
  EXPECT_EQ(normalize_yyyymmdd(std::nullopt), std::nullopt);
}

TEST(NormalizeYyyymmdd, RejectsNonDatesNamingTheInput) {
  for (const char* bad : {"20240230", "2023-02-29", "2024-13-01", "abc", "", "2024-01-02x", "202401",
                          "2024-01/02", "2024-01-02 25:00", "202401021"}) {
    try {
      normalize_yyyymmdd(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
  }
}

TEST(SeriesToYyyymmdd, UnreadableValuesBecomeMissingAndLabelsFollowTheInput) {
  auto plain = series_to_yyyymmdd(std::vector<Value>{"2024-01-02", "garbage", nullptr, 20240105, "2024-01-02"});
  EXPECT_EQ(plain.labels, (std::vector<Value>{0, 1, 2, 3, 4}));
  EXPECT_EQ(plain.values, (std::vector<std::optional<std::string>>{"20240102", std::nullopt, std::nullopt,
                                                                    "20240105", "20240102"}));
  auto labelled = series_to_yyyymmdd(LabelledValues{{"x", "y"}, {"2024/03/04", 1.5}});
  EXPECT_EQ(labelled.labels, (std::vector<Value>{"x", "y"}));
  EXPECT_EQ(labelled.values, (std::vector<std::optional<std::string>>{"20240304", std::nullopt}));
}

TEST(DateForms, BacktestEngineAndQueryForms) {
  using B = GroupPreparedDataBuilder;
  EXPECT_EQ(B::_normalize_ddb_backtest_date("2024010"), "20240100");
  EXPECT_EQ(B::_normalize_ddb_backtest_date(2024010), "20240100");
  EXPECT_EQ(B::_normalize_ddb_backtest_date("20240101"), "20240101");
  EXPECT_EQ(B::_normalize_ddb_backtest_date("202401a"), "202401a");
  EXPECT_EQ(B::_normalize_ddb_backtest_date(""), "");
  EXPECT_EQ(B::_normalize_ddb_backtest_date(nullptr), std::nullopt);

  EXPECT_EQ(B::_vm_factor_date("20240101"), "2024-01-01");
  EXPECT_EQ(B::_vm_factor_date(nullptr), std::nullopt);
  EXPECT_THROW(B::_vm_factor_date(20240101), TypeError);
  EXPECT_THROW(B::_vm_factor_date("20240230"), ValueError);
}

TEST(BuilderConstruction, NormalisesBothDatesAndRejectsNonText) {
  GroupPreparedDataBuilder builder("2024-01-01", "20241231");
  EXPECT_EQ(builder.default_start(), "20240101");
  EXPECT_EQ(builder.end_date(), "20241231");
  EXPECT_EQ(builder._ddb_start(), "20240101");
  EXPECT_EQ(builder._ddb_end(), "20241231");
  GroupPreparedDataBuilder reversed("20241231", "20240101");
  EXPECT_EQ(reversed.default_start(), "20241231");

  EXPECT_THROW(GroupPreparedDataBuilder(nullptr, "20240101"), TypeError);
  EXPECT_THROW(GroupPreparedDataBuilder("20240101", 20240101), TypeError);
  EXPECT_THROW(GroupPreparedDataBuilder("20240101", "2024-02-30"), ValueError);
}

TEST(Timestamps, LocalIsoTimeWithMicrosecondsOnlyWhenNonZero) {
  std::regex form(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{6})?)");
  for (int i = 0; i < 20; ++i) {
    std::string stamp = local_iso_timestamp();
    ASSERT_TRUE(std::regex_match(stamp, form)) << stamp;
    if (stamp.size() > 19) {
      EXPECT_NE(stamp.substr(20), "000000");
    }
  }
}

TEST(ComponentDatasetKey, DistinctReadableAndClearOfBaseKeys) {
  std::vector<std::string> names = get_component_factor_names();
  for (const char* odd : {"a/b", "a%2Fb", "a\\b", "成分", "benchmark_dict", "close_price", ""}) names.push_back(odd);
  std::set<std::string> keys;
  for (const auto& name : names) {
    std::string key = component_dataset_key(name);
    EXPECT_EQ(key, component_dataset_key(name));
    EXPECT_FALSE(BASE_MATRIX_DTYPE.contains(key)) << key;
    EXPECT_NE(key, "benchmark_dict");
    EXPECT_EQ(key.find('/'), std::string::npos) << key;
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), names.size());
  EXPECT_EQ(component_dataset_key("rq_index_components_new_000300.XSHG"),
            "component__rq_index_components_new_000300.XSHG");
}

}  // namespace
}  // namespace velmora::backtest
