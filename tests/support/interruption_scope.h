#pragma once

// The process-wide interruption request, held for one scope: cleared again however the test ends, so that
// later tests in the same process are not stopped.

#include "velmora/interruption.h"

namespace velmora::testing {

struct InterruptionScope {
  InterruptionScope() { request_interruption(); }
  ~InterruptionScope() { reset_interruption(); }
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;
};

}  // namespace velmora::testing
