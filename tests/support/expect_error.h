#pragma once

// Checks on raised errors: the exact kind and message of an error, and the causes chained to it.

#include <exception>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>

namespace velmora::testing {

// Runs `action` and expects it to raise an error of kind E whose what() is exactly `message`. Returns the
// raised error (null, with a test failure, when nothing or something else was raised).
template <typename E, typename Action>
std::exception_ptr expect_error(Action&& action, const std::string& message) {
  try {
    action();
  } catch (const E& error) {
    EXPECT_EQ(error.what(), message);
    return std::current_exception();
  } catch (const std::exception& other) {
    ADD_FAILURE() << "expected " << typeid(E).name() << " \"" << message << "\", got " << typeid(other).name()
                  << " \"" << other.what() << "\"";
    return nullptr;
  }
  ADD_FAILURE() << "expected " << typeid(E).name() << " \"" << message << "\", nothing was raised";
  return nullptr;
}

// The cause chained to `error` through std::nested_exception; null when there is none.
std::exception_ptr nested_cause(const std::exception_ptr& error);

// Calls `check` with `error` as a T; a test failure when it is of another kind.
template <typename T, typename Check>
void expect_kind(const std::exception_ptr& error, Check&& check) {
  if (!error) {
    ADD_FAILURE() << "expected a " << typeid(T).name() << ", got no error";
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const T& typed) {
    check(typed);
  } catch (const std::exception& other) {
    ADD_FAILURE() << "expected a " << typeid(T).name() << ", got " << typeid(other).name() << " \""
                  << other.what() << "\"";
  }
}

}  // namespace velmora::testing
