#pragma once

// The number of threads that the heavy stages (long-to-wide conversion, rank, derivation) split their rows
// across. Defaults to the machine's hardware concurrency; one thread gives identical results, only slower.

#include <cstddef>
#include <functional>

#include "velmora/backtest/prepare_export.h"

namespace velmora::backtest {

VELMORA_PREPARE_EXPORT std::size_t thread_count();
// 0 restores the default.
VELMORA_PREPARE_EXPORT void set_thread_count(std::size_t threads);

// Calls `body(begin, end)` over disjoint ranges covering [0, n), on up to thread_count() threads. Work
// smaller than `min_per_thread` items per thread stays on the calling thread. The first exception thrown by
// any range is rethrown after all ranges finished.
VELMORA_PREPARE_EXPORT void parallel_for(std::size_t n, std::size_t min_per_thread,
                                         const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace velmora::backtest
