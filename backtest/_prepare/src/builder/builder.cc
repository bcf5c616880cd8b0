#include "velmora/backtest/builder.h"

#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"

namespace velmora::backtest {

namespace {
std::string require_text(const Value& value, const char* argument) {
  if (!value.is_string())
    throw TypeError(std::string(argument) + " must be a text, not " + value.type_name());
  return value.get<std::string>();
}
}  // namespace

GroupPreparedDataBuilder::GroupPreparedDataBuilder(const Value& start_date, const Value& end_date) {
  std::string start = require_text(start_date, "start_date");
  std::string end = require_text(end_date, "end_date");
  default_start_ = *normalize_yyyymmdd(start);
  end_date_ = *normalize_yyyymmdd(end);
  ddb_start_ = *_normalize_ddb_backtest_date(default_start_);
  ddb_end_ = *_normalize_ddb_backtest_date(end_date_);
}

std::optional<std::string> GroupPreparedDataBuilder::_normalize_ddb_backtest_date(const Value& date_value) {
  if (date_value.is_null()) return std::nullopt;
  std::string text = value_text(date_value);
  bool seven_digits = text.size() == 7 && text.find_first_not_of("0123456789") == std::string::npos;
  return seven_digits ? text + "0" : text;
}

std::optional<std::string> GroupPreparedDataBuilder::_vm_factor_date(const Value& date_value) {
  if (!date_value.is_null() && !date_value.is_string())
    throw TypeError(std::string("date_value must be a text or None, not ") + date_value.type_name());
  std::optional<std::string> canonical =
      date_value.is_null() ? std::nullopt : normalize_yyyymmdd(date_value.get_ref<const std::string&>());
  if (!canonical) return std::nullopt;
  const std::string& text = *canonical;
  return text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2);
}

}  // namespace velmora::backtest
