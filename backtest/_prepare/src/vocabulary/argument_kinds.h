#pragma once

// Kind checks for dynamic-value arguments (of the store, the factor reads and the dtype map), made before
// any work: a mismatch is a TypeError naming the argument and the kind it got.

#include <optional>
#include <string>
#include <vector>

#include "velmora/errors.h"
#include "velmora/value.h"

namespace velmora::backtest {

inline void require_list_or_null(const Value& value, const char* argument) {
  if (!value.is_null() && !value.is_array()) {
    throw TypeError(std::string(argument) + " must be a list or None, not " + value.type_name());
  }
}

inline void require_list(const Value& value, const char* argument) {
  if (!value.is_array()) throw TypeError(std::string(argument) + " must be a list, not " + value.type_name());
}

// A text or nothing (null).
inline std::optional<std::string> optional_text(const Value& value, const char* argument) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_string()) throw TypeError(std::string(argument) + " must be a text or None, not " + value.type_name());
  return value.get<std::string>();
}

// A list of texts or nothing (null).
inline std::optional<std::vector<std::string>> optional_text_list(const Value& value, const char* argument) {
  require_list_or_null(value, argument);
  if (value.is_null()) return std::nullopt;
  std::vector<std::string> texts;
  for (const auto& item : value) {
    if (!item.is_string()) {
      throw TypeError(std::string(argument) + " must hold texts only, not " + item.type_name());
    }
    texts.push_back(item.get<std::string>());
  }
  return texts;
}

}  // namespace velmora::backtest
