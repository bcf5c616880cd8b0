#include "velmora/interruption.h"

#include <atomic>

#include "messages.h"

namespace velmora {

namespace {

// Lock-free, as a signal handler may store to it.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

InterruptedError::InterruptedError() : VelmoraError(messages::INTERRUPTED) {}
InterruptedError::~InterruptedError() = default;

void request_interruption() noexcept { requested.store(true, std::memory_order_relaxed); }

void reset_interruption() noexcept { requested.store(false, std::memory_order_relaxed); }

bool interruption_requested() noexcept { return requested.load(std::memory_order_relaxed); }

void throw_if_interrupted() {
  if (interruption_requested()) throw InterruptedError();
}

}  // namespace velmora
