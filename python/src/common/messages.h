#pragma once

// Every message text that the Python modules raise themselves. Errors of the libraries keep their own texts.

#include <string>

namespace velmora::python::messages {

// Argument kinds: "<argument> must be <kind>, not <Python type name>".
inline constexpr const char* MUST_BE_TEXT = " must be a text, not ";
inline constexpr const char* MUST_BE_TEXT_OR_NONE = " must be a text or None, not ";
inline constexpr const char* MUST_BE_LIST = " must be a list, not ";
inline constexpr const char* MUST_BE_LIST_OR_NONE = " must be a list or None, not ";
inline constexpr const char* MUST_BE_DICT = " must be a dict, not ";
inline constexpr const char* MUST_BE_DICT_OR_NONE = " must be a dict or None, not ";
inline constexpr const char* MUST_HOLD_TEXTS = " must hold texts only, not ";
inline constexpr const char* MUST_BE_FRAME = " must be a pandas.DataFrame, not ";
inline constexpr const char* MUST_BE_SERIES = " must be a pandas.Series, not ";
inline constexpr const char* MUST_BE_STORE_OR_PATH = " must be a BinaryPreparedDataStore or a path, not ";
inline constexpr const char* NAME_LIST_KIND = "name list must be None, a text or a sequence, not ";

// Values that have no plain (pickle-able) form.
inline constexpr const char* NO_PLAIN_FORM = "no plain value for an object of type ";

// Frames and series handed in.
inline constexpr const char* LABELS_NOT_UNIQUE = "labels must be unique: ";
inline constexpr const char* SERIES_DATES_ORDER = "series dates must be unique and ascending: ";
inline constexpr const char* PAYLOAD_ENTRY = "payload lacks the entry ";
// The store's refusal of a dataset whose dates are not strictly ascending, word for word: a repeated date
// cannot become a matrix's row label, so the store's own check never sees it.
inline std::string dataset_dates_not_ascending(const std::string& key) {
  return "dataset \"" + key + "\" cannot be written: its dates are not in ascending order";
}

// The library's "no factor service" error, told the way a Python user installs one.
inline constexpr const char* NO_FACTOR_SERVICE =
    "no factor service is installed: call velmora.singleton.set_instance() first";

// A Python factor service.
inline constexpr const char* NOT_A_SERVICE =
    "a factor service needs the methods get_factors and get_index_daily; got an object of type ";
inline constexpr const char* SERVICE_ANSWER = "a factor service answers a pandas.DataFrame or None, not ";

}  // namespace velmora::python::messages
