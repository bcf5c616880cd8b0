#pragma once

// The error kinds that the velmora SDK raises. `what()` is exactly the message text, with no prefix naming
// the kind: callers and tests compare messages byte for byte, and most of them are fixed Chinese texts.
//
// An error raised because of a lower-level failure carries that failure as its cause: throw it with
// `std::throw_with_nested(ErrorKind(message))`, or construct a NetworkError with an explicit cause. The
// destructors are defined out of line so that each class has one exported type identity, and a host can
// catch an error thrown inside one shared library by its exact type in another.

#include <exception>
#include <stdexcept>
#include <string>

#include "velmora/host_export.h"

namespace velmora {

// Base of every error kind below.
class VELMORA_HOST_EXPORT Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message);
  ~Error() override;
};

// An argument of the wrong kind (the null value included where it is not allowed).
class VELMORA_HOST_EXPORT TypeError : public Error {
 public:
  using Error::Error;
  ~TypeError() override;
};

// An argument of the right kind but an unusable value: an invalid calendar date, a missing matrix.
class VELMORA_HOST_EXPORT ValueError : public Error {
 public:
  using Error::Error;
  ~ValueError() override;
};

// A lookup that found no entry: a missing column, a missing source matrix, empty benchmark data.
class VELMORA_HOST_EXPORT KeyError : public Error {
 public:
  using Error::Error;
  ~KeyError() override;
};

// A failure of the SDK's own operations, such as an unusable benchmark data package.
class VELMORA_HOST_EXPORT VelmoraError : public Error {
 public:
  using Error::Error;
  ~VelmoraError() override;
};

// No factor service is installed when a read needs one. Its own kind so that each front end can say how
// its users install one.
class VELMORA_HOST_EXPORT NoFactorServiceError : public VelmoraError {
 public:
  using VelmoraError::VelmoraError;
  ~NoFactorServiceError() override;
};

// A failed network transfer. The underlying transport failure is kept as `cause()`; throwing the error with
// `throw_with_cause()` also chains it through `std::nested_exception`, so both ways reach it.
class VELMORA_HOST_EXPORT NetworkError : public VelmoraError {
 public:
  NetworkError(const std::string& message, std::exception_ptr cause);
  ~NetworkError() override;

  // The failure that caused this one; null when none was given.
  std::exception_ptr cause() const noexcept { return cause_; }

  // Throws this error with `cause()` as its nested exception.
  [[noreturn]] void throw_with_cause() const;

 private:
  std::exception_ptr cause_;
};

// A failed HTTP exchange of the SDK's own clients: a transport failure (`status()` is 0 and the message is
// the transport's description), a response status outside 200..299 (`status()` is that status), or a response
// body that is not the expected JSON. HttpClient raises it directly; the package download chains it as the
// cause of its NetworkError for a status failure.
class VELMORA_HOST_EXPORT HttpError : public Error {
 public:
  explicit HttpError(const std::string& message, long status = 0);
  ~HttpError() override;

  long status() const noexcept { return status_; }

 private:
  long status_;
};

// The transfer itself failed (no connection, a time-out, a reset, a TLS failure): what() is the transport's
// own description. HttpClient raises it only as the nested cause of its HttpError with status 0.
class VELMORA_HOST_EXPORT TransportError : public Error {
 public:
  using Error::Error;
  ~TransportError() override;
};

// The innermost cause of `error` reachable through the nested-exception chain, as an exception_ptr
// (the error itself when it has no nested cause).
VELMORA_HOST_EXPORT std::exception_ptr root_cause(std::exception_ptr error);

}  // namespace velmora
