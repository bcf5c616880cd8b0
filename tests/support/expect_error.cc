#include "support/expect_error.h"

namespace velmora::testing {

std::exception_ptr nested_cause(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::nested_exception& nested) {
    return nested.nested_ptr();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace velmora::testing
