// The reader's limits hold on hostile input of any size, and whatever the reader accepts the writer writes.

#include <cstdint>
#include <fstream>
#include <sstream>
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

// BINUNICODE of `text`.
std::string pickled_text(const std::string& text) {
  std::string bytes = "X";
  for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<char>((text.size() >> (8 * b)) & 0xff));
  return bytes + text;
}

// `depth` + 1 dicts, each the value of key "k" in the one before, the innermost holding `inner` under "k"
// (a pickled scalar, or nothing); then STOP.
std::string nested_dicts(int depth, const std::string& inner) {
  const std::string key = pickled_text("k");
  std::string bytes;
  for (int i = 0; i < depth; ++i) bytes += "}" + key;
  bytes += "}";
  if (!inner.empty()) bytes += key + inner + "s";
  bytes.append(static_cast<std::size_t>(depth), 's');
  return bytes + ".";
}

TEST(PickleLimitsTest, TheDeepestNestingTheReaderAcceptsIsWrittenBackUnchanged) {
  struct Case {
    const char* label;
    std::string deepest;  // 1001 containers (depths 0 to 1000) with a number in the innermost
    std::string deeper;   // one level more
  } cases[] = {
      {"lists", nested_lists(1000, "K\x07", true), nested_lists(1001, "K\x07", true)},
      {"dicts", nested_dicts(1000, "K\x07"), nested_dicts(1001, "K\x07")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Value value;
    ASSERT_NO_THROW(value = pickle_loads(c.deepest));
    std::string written;
    ASSERT_NO_THROW(written = pickle_dumps(value)) << "the writer must take what the reader gives";
    EXPECT_EQ(pickle_loads(written), value);

    // One level more is refused on both sides.
    EXPECT_THROW(pickle_loads(c.deeper), ValueError);
    Value deeper = value.is_array() ? Value::array({value}) : Value::object({{"k", value}});
    EXPECT_THROW(pickle_dumps(deeper), ValueError);
  }
}

// A text of 1 MiB held by one container, which a list then references 257 times through the memo: 257 MiB
// of text once expanded, one more MiB than the limit, wherever in the container the text sits.
TEST(PickleLimitsTest, SharedTextCountsAtEveryReferenceDictKeysIncluded) {
  const std::string text = pickled_text(std::string(std::size_t{1} << 20, 't'));
  struct Case {
    const char* label;
    std::string container;
  } cases[] = {
      {"a list item", "]" + text + "a"},
      {"a dict value", "}" + pickled_text("k") + text + "s"},
      {"a dict key", "}" + text + "Ns"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = "(" + c.container + std::string("q\0", 2);  // BINPUT 0
    for (int i = 1; i < 257; ++i) bytes += std::string("h\0", 2);  // BINGET 0
    bytes += "l.";
    try {
      pickle_loads(bytes);
      ADD_FAILURE() << "the expansion was built";
    } catch (const ValueError& error) {
      EXPECT_STREQ(error.what(), "pickle data expands to more than 268435456 bytes of text");
    }
  }
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

// `segments` chains of 900 nested lists, each holding the previous chain in its innermost list through the
// memo, all listed in one top-level list: every chain is first met at depth 1, yet the last one is nested
// 900 × `segments` levels deep.
std::string chained_segments(int segments) {
  auto index = [](int i) {
    std::string bytes(4, '\0');
    for (int b = 0; b < 4; ++b) bytes[static_cast<std::size_t>(b)] = static_cast<char>((i >> (8 * b)) & 0xff);
    return bytes;
  };
  // Built by appending: GCC 12 at -O3 misreports overlapping copies in chained string concatenations.
  std::string bytes = "(";
  for (int s = 0; s < segments; ++s) {
    bytes.append(900, ']');
    if (s > 0) {  // the previous chain into the innermost list
      bytes.push_back('j');
      bytes.append(index(s - 1));
      bytes.push_back('a');
    }
    bytes.append(899, 'a');
    bytes.push_back('r');  // this chain's outermost list into the memo
    bytes.append(index(s));
  }
  bytes.append("l.");
  return bytes;
}

TEST(PickleLimitsTest, SharedReferencesCannotNestDeeperThanTheLimit) {
  // Found by fuzzing: a chain first met shallow and then again below another chain.
  std::ifstream file(std::string(VELMORA_SOURCE_DIR) + "/tests/host/data/pickle_shared_nesting_beyond_limit.pkl",
                     std::ios::binary);
  ASSERT_TRUE(file) << "the checked-in input is missing";
  std::stringstream found;
  found << file.rdbuf();
  try {
    Value value = pickle_loads(found.str());
    ADD_FAILURE() << "read a value the writer refuses";
    EXPECT_THROW(pickle_dumps(value), ValueError);
  } catch (const ValueError& error) {
    EXPECT_STREQ(error.what(), "pickle data is nested deeper than 1000 levels");
  }

  // Two chains of 900 are within reach of one another's limit only together: refused. One is fine.
  EXPECT_NO_THROW(pickle_loads(chained_segments(1)));
  try {
    pickle_loads(chained_segments(2));
    ADD_FAILURE() << "two chained segments were read";
  } catch (const ValueError& error) {
    EXPECT_STREQ(error.what(), "pickle data is nested deeper than 1000 levels");
  }
  // A hundred of them (90,000 levels from 180 KB) must be refused before anything is built.
  EXPECT_THROW(pickle_loads(chained_segments(100)), ValueError);
}

}  // namespace
}  // namespace velmora
