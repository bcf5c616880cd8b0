// Name lists and dates on arbitrary text, UTF-8 or not. Invariants: nothing crashes; a name list holds only
// non-empty names without separators or surrounding white space, each a piece of the input, and parsing it
// again changes nothing; a date that is accepted comes out as a real "YYYYMMDD" calendar date that parses to
// itself, survives the day-count round trip, and is the same whichever entry point reads it
// (parse_date_text, normalize_yyyymmdd, series_to_yyyymmdd, the builder's date forms).

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"

namespace vb = velmora::backtest;
using velmora::Value;

namespace {

bool is_canonical_date(const std::string& text) {
  if (text.size() != 8) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return vb::is_calendar_date(std::stoi(text.substr(0, 4)), std::stoi(text.substr(4, 2)), std::stoi(text.substr(6, 2)));
}

void check_names(const std::vector<std::string>& names, std::string_view source, bool split) {
  for (const auto& name : names) {
    FUZZ_CHECK(!name.empty(), "an empty name was kept");
    FUZZ_CHECK(source.find(name) != std::string_view::npos || !split, "a name that is not a piece of the input");
    if (split) {
      for (std::string_view separator : {",", ";", "\n", "\xEF\xBC\x8C", "\xEF\xBC\x9B"}) {
        FUZZ_CHECK(name.find(separator) == std::string::npos, "a separator inside a name");
      }
    }
    // Python's str.strip() white space at either end that is plain ASCII.
    for (char end : {name.front(), name.back()}) {
      FUZZ_CHECK(!(end == ' ' || (end >= '\t' && end <= '\r') || (end >= 0x1c && end <= 0x1f)), "white space kept");
    }
  }
  FUZZ_CHECK(vb::parse_name_list(names) == names, "parsing the names again changed them");
}

void check_date(const std::string& text) {
  std::optional<std::string> parsed = vb::parse_date_text(text);
  std::optional<std::string> normalized;
  bool refused = false;
  try {
    normalized = vb::normalize_yyyymmdd(text);
  } catch (const velmora::ValueError&) {
    refused = true;
  }
  if (!parsed) {
    FUZZ_CHECK(refused, "normalize_yyyymmdd accepted a text that parse_date_text refuses");
  } else {
    FUZZ_CHECK(!refused && normalized == parsed, "normalize_yyyymmdd differs from parse_date_text");
    FUZZ_CHECK(is_canonical_date(*parsed), "not a canonical date: %s", parsed->c_str());
    FUZZ_CHECK(vb::parse_date_text(*parsed) == parsed, "the canonical date does not parse to itself");
    FUZZ_CHECK(vb::yyyymmdd_from_days(vb::days_from_yyyymmdd(*parsed)) == *parsed, "the day count round trip");
    FUZZ_CHECK(text.find(parsed->substr(0, 4)) != std::string::npos, "the year is not in the input");
  }

  vb::TextSeries series = vb::series_to_yyyymmdd(std::vector<Value>{Value(text), Value(text)});
  FUZZ_CHECK(series.values.size() == 2 && series.values[0] == parsed && series.values[1] == parsed);

  try {
    std::optional<std::string> query = vb::GroupPreparedDataBuilder::_vm_factor_date(Value(text));
    FUZZ_CHECK(parsed && query && *query == parsed->substr(0, 4) + "-" + parsed->substr(4, 2) + "-" + parsed->substr(6, 2),
               "the query form differs from the canonical date");
  } catch (const velmora::ValueError&) {
    FUZZ_CHECK(!parsed, "the query form refused a date");
  }
  std::optional<std::string> engine = vb::GroupPreparedDataBuilder::_normalize_ddb_backtest_date(Value(text));
  FUZZ_CHECK(engine && (*engine == text || (text.size() == 7 && *engine == text + "0")));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string text = input.ConsumeRandomLengthString(256);

  std::vector<std::string> names = vb::parse_name_list(Value(text));
  check_names(names, text, true);

  check_date(text);

  // A list: every element one name, numbers and booleans in their text form.
  Value list = Value::array();
  while (input.remaining_bytes() > 0 && list.size() < 16) {
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
      case 0: list.push_back(input.ConsumeRandomLengthString(32)); break;
      case 1: list.push_back(input.ConsumeIntegral<std::int64_t>()); break;
      case 2: list.push_back(input.ConsumeFloatingPoint<double>()); break;
      case 3: list.push_back(input.ConsumeBool()); break;
      default: list.push_back(nullptr); break;
    }
  }
  std::vector<std::string> from_list = vb::parse_name_list(list);
  FUZZ_CHECK(from_list.size() <= list.size(), "a list element became more than one name");
  check_names(from_list, "", false);

  // Eight-digit integers read as dates exactly when their text does.
  std::int64_t number = static_cast<std::int64_t>(size) * 7919 + (size > 0 ? data[0] : 0) * 104729;
  number = 19000101 + number % 80000000;
  vb::TextSeries numbers = vb::series_to_yyyymmdd(std::vector<Value>{Value(number)});
  FUZZ_CHECK(numbers.values.at(0) == vb::parse_date_text(std::to_string(number)), "integer date %lld",
             static_cast<long long>(number));
  return 0;
}
