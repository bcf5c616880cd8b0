#pragma once

// How a failed command reaches the user: one line on stderr. A usage error (a mistake in the command line,
// found before any work) exits 2 with a pointer to the command's help; every other failure exits 1 with what
// the command could not do (messages::failed_command), the library's message and the chain of causes that
// led to it.

#include <exception>
#include <stdexcept>
#include <string>

namespace velmora::tool {

inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// A command line the tool refuses before doing any work: a bad date, an option value out of range, a path
// that cannot serve as what the option names.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `error`'s message followed by the message of each nested cause (std::nested_exception, or a
// NetworkError's recorded cause), joined by ": ", with line breaks turned into spaces so it stays one line.
std::string failure_text(const std::exception& error);

}  // namespace velmora::tool
