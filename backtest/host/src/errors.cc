#include "velmora/errors.h"

namespace velmora {

Error::Error(const std::string& message) : std::runtime_error(message) {}
Error::~Error() = default;
TypeError::~TypeError() = default;
ValueError::~ValueError() = default;
KeyError::~KeyError() = default;
VelmoraError::~VelmoraError() = default;

NetworkError::NetworkError(const std::string& message, std::exception_ptr cause)
    : VelmoraError(message), cause_(std::move(cause)) {}
NetworkError::~NetworkError() = default;

HttpError::HttpError(const std::string& message, long status) : Error(message), status_(status) {}
HttpError::~HttpError() = default;
NoFactorServiceError::~NoFactorServiceError() = default;
TransportError::~TransportError() = default;

namespace {
// std::throw_with_nested captures the exception in flight; rethrowing the cause inside a catch block makes
// it the current exception so that the nested chain points at it.
[[noreturn]] void throw_nested_over(const NetworkError& error, const std::exception_ptr& cause) {
  try {
    std::rethrow_exception(cause);
  } catch (...) {
    std::throw_with_nested(error);
  }
}
}  // namespace

void NetworkError::throw_with_cause() const {
  if (!cause_) throw *this;
  throw_nested_over(*this, cause_);
}

std::exception_ptr root_cause(std::exception_ptr error) {
  for (;;) {
    try {
      std::rethrow_exception(error);
    } catch (const std::nested_exception& nested) {
      if (!nested.nested_ptr()) return error;
      error = nested.nested_ptr();
    } catch (...) {
      return error;
    }
  }
}

}  // namespace velmora
