// The reader's limits hold on hostile input of any size, and whatever the reader accepts the writer writes.

#include <string>

#include <gtest/gtest.h>

#include "velmora/errors.h"
#include "velmora/pickle.h"

namespace velmora {
namespace {

// `depth` + 1 lists, each inside the one before, the innermost holding `inner` (a pickled scalar, or
// nothing); then STOP when `stop`.
std::string nested_lists(int depth, const std::string& inner, bool stop) {
  std::string bytes(static_cast<std::size_t>(depth) + 1, ']');
  if (!inner.empty()) bytes += inner + "a";
  bytes += std::string(static_cast<std::size_t>(depth), 'a');
  return stop ? bytes + "." : bytes;
}

TEST(PickleLimitsTest, TheDeepestNestingTheReaderAcceptsIsWrittenBackUnchanged) {
  // 1001 lists (depths 0 to 1000) with a number in the innermost: the deepest value the reader accepts.
  const std::string bytes = nested_lists(1000, "K\x07", true);
  Value value;
  ASSERT_NO_THROW(value = pickle_loads(bytes));
  std::string written;
  ASSERT_NO_THROW(written = pickle_dumps(value)) << "the writer must take what the reader gives";
  EXPECT_EQ(pickle_loads(written), value);

  // One level more is refused on both sides.
  EXPECT_THROW(pickle_loads(nested_lists(1001, "K\x07", true)), ValueError);
  Value deeper = Value::array({value});
  EXPECT_THROW(pickle_dumps(deeper), ValueError);
}

TEST(PickleLimitsTest, RefusingHugeNestingNeverExhaustsTheStack) {
  // A million nested lists from two megabytes: refused, whether the data ends, stops or breaks off at a bad
  // opcode, and releasing the half-built containers must not recurse once per level.
  const int depth = 1000000;
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"without STOP", nested_lists(depth, "", false)},
      {"with STOP", nested_lists(depth, "", true)},
      {"broken off by a refused opcode", nested_lists(depth, "", false) + "R."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(pickle_loads(c.bytes), ValueError);
  }
}

}  // namespace
}  // namespace velmora
