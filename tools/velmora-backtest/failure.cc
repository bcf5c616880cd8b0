#include "failure.h"

#include <algorithm>

#include "velmora/errors.h"

namespace velmora::tool {

namespace {

void append_causes(const std::exception& error, std::string& text) {
  std::exception_ptr cause;
  try {
    std::rethrow_if_nested(error);
  } catch (...) {
    cause = std::current_exception();
  }
  // A NetworkError thrown without throw_with_cause() still records what caused it.
  if (!cause)
    if (const auto* network = dynamic_cast<const NetworkError*>(&error)) cause = network->cause();
  if (!cause) return;
  try {
    std::rethrow_exception(cause);
  } catch (const std::exception& inner) {
    text += ": ";
    text += inner.what();
    append_causes(inner, text);
  } catch (...) {
    text += ": unknown failure";
  }
}

}  // namespace

std::string failure_text(const std::exception& error) {
  std::string text = error.what();
  append_causes(error, text);
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

}  // namespace velmora::tool
