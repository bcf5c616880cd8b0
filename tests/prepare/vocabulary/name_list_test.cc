#include <gtest/gtest.h>

#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

using Names = std::vector<std::string>;

TEST(ParseNameList, SplitsTextsAndStripsEveryUnicodeSpace) {
  struct Case {
    Value input;
    Names expected;
  } cases[] = {
      {"a, b\xEF\xBC\x9B" "c", {"a", "b", "c"}},                     // full-width semicolon
      {"a\xEF\xBC\x8C" "b;c", {"a", "b", "c"}},                      // full-width comma, semicolon
      {"x\n\ny", {"x", "y"}},                                          // empty piece dropped
      {"a\r\nb", {"a", "b"}},                                          // carriage return stripped
      {",,,", {}},
      {"", {}},
      {nullptr, {}},
      {"\xE3\x80\x80name\xE3\x80\x80", {"name"}},                      // U+3000 ideographic space
      {"\xC2\xA0tab\there\t", {"tab\there"}},                          // inner tab kept
      {"one name", {"one name"}},
      {Value::array({"a", " b "}), {"a", "b"}},
      {Value::array({"a,b", "a,b"}), {"a,b", "a,b"}},                  // elements are not split; repeats stay
      {Value::array({1, " 2 "}), {"1", "2"}},
      {Value::array({1.5, true, nullptr}), {"1.5", "True", "None"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_name_list(c.input), c.expected) << c.input.dump();
}

TEST(ParseNameList, RejectsValuesThatAreNoNameList) {
  for (const Value& bad : {Value(1), Value(2.5), Value(true), Value::object({{"a", 1}})}) {
    EXPECT_THROW(parse_name_list(bad), TypeError) << bad.dump();
  }
}

TEST(ParseNameList, PythonTextFormOfNumbers) {
  struct Case {
    Value input;
    std::string text;
  } cases[] = {{1.0, "1.0"}, {0.0001, "0.0001"}, {0.00001, "1e-05"}, {1e16, "1e+16"},
               {123456789012345.0, "123456789012345.0"}, {-2.5, "-2.5"}, {int64_t{-3}, "-3"}};
  for (const auto& c : cases) EXPECT_EQ(value_text(c.input), c.text) << c.input.dump();
}

TEST(Vocabulary, DerivedListsAndOrders) {
  EXPECT_EQ(BUILD_INPUT_NAMES.size(), 10u);
  EXPECT_EQ(BUILD_INPUT_NAMES.back(), "rq_is_suspended");
  EXPECT_EQ(BENCHMARK_INDEX_CODES.keys(), (Names{"000852", "000300", "000905"}));
  auto names = get_component_factor_names();
  EXPECT_EQ(names, COMPONENT_FACTOR_NAMES);
  names.push_back("mine");
  EXPECT_EQ(get_component_factor_names().size(), 5u);
  EXPECT_EQ(BASE_MATRIX_DTYPE.at("close_price_valid"), "float64");
  EXPECT_EQ(BASE_MATRIX_DTYPE.at("cant_sell_stock"), "bool");
}

}  // namespace
}  // namespace velmora::backtest
