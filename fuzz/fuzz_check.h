#pragma once

// What every fuzz target uses to state an invariant: a broken one prints the reason and aborts, which
// libFuzzer reports as a crash and saves the input for.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                        \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::fprintf(stderr, "" __VA_ARGS__);                                               \
      std::fprintf(stderr, "\n");                                                         \
      std::abort();                                                                       \
    }                                                                                     \
  } while (false)
