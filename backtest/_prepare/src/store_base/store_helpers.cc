#include "velmora/backtest/store_helpers.h"

#include <cstdio>

#include "velmora/backtest/dates.h"
#include "velmora/errors.h"

namespace velmora::backtest {

std::optional<std::string> normalize_yyyymmdd(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  auto parsed = parse_date_text(*value);
  if (!parsed) throw ValueError("无法识别的日期: " + std::string(*value));
  return parsed;
}

std::string component_dataset_key(std::string_view component_name) {
  std::string key = "component__";
  key.reserve(key.size() + component_name.size());
  for (char c : component_name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == '%' || c == '/' || c == '\\') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      key += escaped;
    } else {
      key += c;
    }
  }
  return key;
}

WideMatrix clean_matrix(const WideMatrix& matrix) { return matrix; }

}  // namespace velmora::backtest
