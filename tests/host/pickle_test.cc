// The pickle codec against CPython's own pickle module: our bytes through pickle.loads, pickle.dumps output
// (protocols 2 to 5) through our reader, and hostile or damaged input refused with exact messages.

#include "velmora/pickle.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "velmora/errors.h"

namespace velmora {
namespace {

using testing::read_file;
using testing::run_python;
using testing::TempDir;
using testing::write_file;

// A value that touches every kind and every size class of the format.
Value sample_value() {
  Value big_list = Value::array();
  for (int i = 0; i < 2500; ++i) big_list.push_back(i * 7 - 3000);
  Value big_dict = Value::object();
  for (int i = 0; i < 1001; ++i) big_dict[std::string("k").append(std::to_string(i))] = i % 2 == 0;
  Value ints = Value::array({0, 1, 255, 256, 65535, 65536, -1, -128, -129, 2147483647, -2147483648LL,
                             2147483648LL, -2147483649LL, 4294967296LL, 1LL << 40, -(1LL << 40),
                             std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(),
                             Value(std::uint64_t{9000000000000000000ULL})});
  Value floats = Value::array({0.0, -0.0, 1.5, -2.25e-300, 1e308, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                               1.0});
  Value meta = Value::object();
  meta["version"] = 1;
  meta["updated_at"] = "2026-12-08T02:40:00.123456";
  meta["component_names"] = Value::array({"rq_index_components_new_000300.XSHG"});
  meta["说明"] = "成分股矩阵缺失，无法精确生成二进制缓存: ['a']";
  meta["emoji"] = "\xF0\x9F\x93\x88";
  meta["long_text"] = std::string(300, 'x');
  meta["none"] = nullptr;
  meta["flags"] = Value::array({true, false});
  meta["ints"] = ints;
  meta["floats"] = floats;
  meta["empty_list"] = Value::array();
  meta["empty_dict"] = Value::object();
  meta["nested"] = Value::array({Value::array({Value::array({"deep"})}), Value::object({{"x", Value::array()}})});
  meta["big_list"] = big_list;
  meta["big_dict"] = big_dict;
  return meta;
}

// The same value as a Python literal, for the CPython side to compare against.
const char* SAMPLE_LITERAL = R"PY(
dict(
  version=1,
  updated_at="2026-12-08T02:40:00.123456",
  component_names=["rq_index_components_new_000300.XSHG"],
  **{"说明": "成分股矩阵缺失，无法精确生成二进制缓存: ['a']"},
  emoji="\U0001F4C8",
  long_text="x" * 300,
  none=None,
  flags=[True, False],
  ints=[0, 1, 255, 256, 65535, 65536, -1, -128, -129, 2147483647, -2147483648, 2147483648, -2147483649,
        4294967296, 1 << 40, -(1 << 40), 2**63 - 1, -2**63, 9000000000000000000],
  floats=[0.0, -0.0, 1.5, -2.25e-300, 1e308, float("inf"), float("-inf"), float("nan"), 1.0],
  empty_list=[],
  empty_dict={},
  nested=[[["deep"]], {"x": []}],
  big_list=[i * 7 - 3000 for i in range(2500)],
  big_dict={"k%d" % i: i % 2 == 0 for i in range(1001)},
)
)PY";

// Two values are the same pickle value when our writer gives the same bytes for both: kinds, key order,
// int/float distinction and NaN all show in the bytes.
void expect_same(const Value& expected, const Value& actual, const std::string& context) {
  EXPECT_EQ(pickle_dumps(expected), pickle_dumps(actual)) << context;
}

TEST(PickleTest, CPythonReadsOurBytesAndWeReadCPythonsAtEveryProtocol) {
  TempDir dir;
  Value value = sample_value();
  write_file(dir / "ours.pkl", pickle_dumps(value));

  // CPython loads our bytes, compares them with the literal (repr shows kinds, order, NaN and -0.0), checks
  // the protocol and frame our writer claims, then writes the literal at protocols 2 to 5.
  std::string script = std::string("import pickle, pickletools, sys\nexpected = (") + SAMPLE_LITERAL + R"PY()
data = open(sys.argv[1] + "/ours.pkl", "rb").read()
loaded = pickle.loads(data)
assert repr(loaded) == repr(expected), (repr(loaded)[:200], repr(expected)[:200])
assert list(loaded) == list(expected)
ops = [op.name for op, arg, pos in pickletools.genops(data)]
assert ops[0] == "PROTO" and data[1] == 5 and ops[1] == "FRAME", ops[:2]
for protocol in range(2, 6):
    open(sys.argv[1] + "/p%d.pkl" % protocol, "wb").write(pickle.dumps(expected, protocol=protocol))
print("ok")
)PY";
  std::string output;
  ASSERT_EQ(run_python(script, {dir.path().string()}, output), 0) << output;
  EXPECT_EQ(output, "ok\n");

  for (int protocol = 2; protocol <= 5; ++protocol) {
    std::string name = "p" + std::to_string(protocol) + ".pkl";
    expect_same(value, pickle_loads(read_file(dir / name)), name);
  }
}

TEST(PickleTest, SharedReferencesTuplesAndMemoFormsFromCPython) {
  TempDir dir;
  // Shared lists and dicts are written once and referenced through the memo; tuples of every size opcode;
  // a string repeated by identity; a dict with more than one batch of items.
  std::string script = R"PY(
import pickle, sys
cols = ["000001", "000002", "600000"]
entry = {"columns": cols, "shape": (2, 3)}
obj = {"a": entry, "b": entry, "cols": [cols, cols], "t": [(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)],
       "many": {str(i): (i, str(i)) for i in range(1500)}}
for protocol in range(2, 6):
    open(sys.argv[1] + "/p%d.pkl" % protocol, "wb").write(pickle.dumps(obj, protocol=protocol))
)PY";
  std::string output;
  ASSERT_EQ(run_python(script, {dir.path().string()}, output), 0) << output;

  Value cols = Value::array({"000001", "000002", "600000"});
  Value entry = Value::object({{"columns", cols}, {"shape", Value::array({2, 3})}});
  Value many = Value::object();
  for (int i = 0; i < 1500; ++i) many[std::to_string(i)] = Value::array({i, std::to_string(i)});
  Value expected = Value::object();
  expected["a"] = entry;
  expected["b"] = entry;
  expected["cols"] = Value::array({cols, cols});
  expected["t"] = Value::array({Value::array(), Value::array({1}), Value::array({1, 2}), Value::array({1, 2, 3}),
                                Value::array({1, 2, 3, 4})});
  expected["many"] = many;
  for (int protocol = 2; protocol <= 5; ++protocol) {
    std::string name = "p" + std::to_string(protocol) + ".pkl";
    expect_same(expected, pickle_loads(read_file(dir / name)), name);
  }
}

TEST(PickleTest, RefusesAPickleThatWouldRunACommand) {
  TempDir dir;
  std::filesystem::path marker = dir / "pwned";
  // The classic attack: an object whose reduction calls os.system. Python reports where the first
  // import opcode sits so that the exact message can be checked.
  std::string script = R"PY(
import os, pickle, pickletools, sys
class Attack:
    def __reduce__(self):
        return (os.system, ("touch " + sys.argv[2],))
for protocol in (2, 5):
    data = pickle.dumps({"datasets": {}, "x": Attack()}, protocol=protocol)
    open(sys.argv[1] + "/attack%d.pkl" % protocol, "wb").write(data)
    first = next((op.name, pos) for op, arg, pos in pickletools.genops(data) if op.name in ("GLOBAL", "STACK_GLOBAL"))
    print(first[0], first[1])
)PY";
  std::string output;
  ASSERT_EQ(run_python(script, {dir.path().string(), marker.string()}, output), 0) << output;
  std::istringstream lines(output);
  for (int protocol : {2, 5}) {
    std::string opcode;
    std::size_t offset = 0;
    lines >> opcode >> offset;
    std::string code = opcode == "GLOBAL" ? "0x63" : "0x93";
    std::string bytes = read_file(dir / ("attack" + std::to_string(protocol) + ".pkl"));
    try {
      pickle_loads(bytes);
      ADD_FAILURE() << "protocol " << protocol << " attack was read";
    } catch (const ValueError& error) {
      EXPECT_EQ(std::string(error.what()),
                "pickle opcode " + opcode + " (" + code +
                    ") is not allowed: only dict, list, tuple, str, int, float, bool and None can be read at byte " +
                    std::to_string(offset));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
}

struct BadPickle {
  const char* name;
  std::string bytes;
  std::string message;
};

std::string nested_lists(int depth) { return std::string(depth + 1, ']') + std::string(depth, 'a') + "."; }

// Each level is a two-item list that references the previous level twice: 2^30 leaves from 250 bytes.
std::string expansion_bomb() {
  std::string bytes = "N\x94" "0";
  for (int level = 0; level < 30; ++level) {
    bytes += "(h";
    bytes += static_cast<char>(level);
    bytes += "h";
    bytes += static_cast<char>(level);
    bytes += "l\x94" "0";
  }
  return bytes + "h\x1e.";
}

// A 64 KiB text shared by reference at every level of a 13-level doubling: 2^13 values, but 512 MiB of
// text once every reference is copied out.
std::string text_bomb() {
  const std::uint32_t length = 65536;
  std::string bytes = "X";
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((length >> shift) & 0xff);
  bytes += std::string(length, 'a') + "\x94" "0";
  for (int level = 0; level < 13; ++level) {
    bytes += "(h";
    bytes += static_cast<char>(level);
    bytes += "h";
    bytes += static_cast<char>(level);
    bytes += "l\x94" "0";
  }
  return bytes + "h\x0d.";
}

TEST(PickleTest, RefusesEverythingButPlainDataWithExactMessages) {
  const std::string refused = ") is not allowed: only dict, list, tuple, str, int, float, bool and None can be read at byte ";
  const BadPickle cases[] = {
      {"global", std::string("\x80\x02" "cos\nsystem\n.", 14), "pickle opcode GLOBAL (0x63" + refused + "2"},
      {"reduce", "NNR.", "pickle opcode REDUCE (0x52" + refused + "2"},
      {"build", "}}b.", "pickle opcode BUILD (0x62" + refused + "2"},
      {"inst", "(ios\nsystem\n.", "pickle opcode INST (0x69" + refused + "1"},
      {"obj", "(N)o.", "pickle opcode OBJ (0x6f" + refused + "3"},
      {"newobj", "N)\x81.", "pickle opcode NEWOBJ (0x81" + refused + "2"},
      {"persid", "P1\n.", "pickle opcode PERSID (0x50" + refused + "0"},
      {"ext1", "\x82\x01.", "pickle opcode EXT1 (0x82" + refused + "0"},
      {"bytes", "C\x02" "ab.", "pickle opcode SHORT_BINBYTES (0x43" + refused + "0"},
      {"set", "\x8f.", "pickle opcode EMPTY_SET (0x8f" + refused + "0"},
      {"unknown", "\xff.", "pickle opcode unknown (0xff" + refused + "0"},
      {"empty input", "", "pickle data ends without STOP"},
      {"no stop", "\x80\x05N", "pickle data ends without STOP"},
      {"truncated text", "\x80\x05\x8c\x05" "ab", "pickle data is truncated at byte 4"},
      {"truncated int", "J\x01\x02", "pickle data is truncated at byte 1"},
      {"truncated frame", std::string("\x80\x05\x95\xff\x00\x00\x00\x00\x00\x00\x00N.", 13),
       "pickle frame is truncated at byte 2"},
      {"bytes after stop", "N.x", "pickle data continues after STOP at byte 2"},
      {"future protocol", "\x80\x06N.", "pickle protocol 6 is not supported at byte 0"},
      {"int above int64", std::string("\x8a\x09\x00\x00\x00\x00\x00\x00\x00\x80\x00.", 12),
       "pickle integer is outside the 64-bit range at byte 0"},
      {"int below int64", std::string("\x8a\x09\xff\xff\xff\xff\xff\xff\xff\x7f\xff.", 12),
       "pickle integer is outside the 64-bit range at byte 0"},
      {"negative long4", "\x8b\xff\xff\xff\xff.", "pickle LONG4 has a negative length at byte 0"},
      {"bad utf-8", "\x8c\x02\xc3\x28.", "pickle text is not valid UTF-8 at byte 0"},
      {"surrogate", "\x8c\x03\xed\xa0\x80.", "pickle text is not valid UTF-8 at byte 0"},
      {"int key", "}K\x01K\x02s.", "pickle dict key is not a text at byte 5"},
      {"odd setitems", "}(K\x01u.", "pickle SETITEMS has an odd number of items at byte 4"},
      {"append to dict", "}Na.", "pickle appends to something that is not a list at byte 2"},
      {"setitem on list", "]\x8c\x01kNs.", "pickle sets an item on something that is not a dict at byte 5"},
      {"missing memo", "h\x05.", "pickle memo entry 5 is missing at byte 0"},
      {"bad put", "Np1x\n.", "pickle memo index is not a decimal number at byte 1"},
      {"underflow", "a.", "pickle stack underflow at byte 0"},
      {"no mark", "]e.", "pickle MARK is missing at byte 1"},
      {"unbalanced", "NN.", "pickle STOP finds an unbalanced stack at byte 2"},
      {"open mark", "(N.", "pickle STOP finds an unbalanced stack at byte 2"},
      {"contains itself", std::string("]\x94h\x00" "a.", 6), "pickle data contains itself"},
      {"too deep", nested_lists(1100), "pickle data is nested deeper than 1000 levels"},
      {"expansion bomb", expansion_bomb(), "pickle data expands to more than 16777216 values"},
      {"text bomb", text_bomb(), "pickle data expands to more than 268435456 bytes of text"},
  };
  for (const auto& c : cases) {
    try {
      pickle_loads(c.bytes);
      ADD_FAILURE() << c.name << ": was read";
    } catch (const ValueError& error) {
      EXPECT_EQ(std::string(error.what()), c.message) << c.name;
    }
  }
}

TEST(PickleTest, ReadsOlderDataOpcodesAndIntegerEdges) {
  struct Case {
    const char* name;
    std::string bytes;
    Value expected;
  };
  const Case cases[] = {
      {"text memo", "(]p0\nNg0\nl.", Value::array({Value::array(), nullptr, Value::array()})},
      {"list and dict from mark", "(\x8c\x01kK\x07" "d.", Value::object({{"k", 7}})},
      {"pop, pop mark, dup", "(NN1K\x01\x32\x30\x85.", Value::array({1})},
      {"long1 zero", std::string("\x8a\x00.", 3), 0},
      {"long1 minus one", "\x8a\x01\xff.", -1},
      {"long4 int64 min", std::string("\x8b\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80.", 14),
       std::numeric_limits<std::int64_t>::min()},
      {"long1 padded", std::string("\x8a\x0a\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00.", 13), 1},
      {"binint negative", "J\xfe\xff\xff\xff.", -2},
      {"duplicate key keeps first position", "}(\x8c\x01" "aK\x01\x8c\x01" "bK\x02\x8c\x01" "aK\x03u.",
       Value::object({{"a", 3}, {"b", 2}})},
  };
  for (const auto& c : cases) {
    Value actual;
    ASSERT_NO_THROW(actual = pickle_loads(c.bytes)) << c.name;
    expect_same(c.expected, actual, c.name);
  }
}

TEST(PickleTest, WriterRefusesValuesWithoutAPlainForm) {
  struct Case {
    const char* name;
    Value value;
    std::string message;
    bool type_error;
  };
  const Case cases[] = {
      {"uint64 above int64", Value(std::numeric_limits<std::uint64_t>::max()),
       "pickle: integer 18446744073709551615 is outside the 64-bit range", false},
      {"bad utf-8", Value::array({std::string("\xc3\x28")}), "pickle: text is not valid UTF-8", false},
      {"bad utf-8 key", Value::object({{std::string("\xff"), 1}}), "pickle: text is not valid UTF-8", false},
      {"binary", Value::binary({1, 2, 3}), "pickle: binary data has no plain pickle form", true},
  };
  for (const auto& c : cases) {
    try {
      pickle_dumps(c.value);
      ADD_FAILURE() << c.name << ": was written";
    } catch (const TypeError& error) {
      EXPECT_TRUE(c.type_error) << c.name;
      EXPECT_EQ(std::string(error.what()), c.message) << c.name;
    } catch (const ValueError& error) {
      EXPECT_FALSE(c.type_error) << c.name;
      EXPECT_EQ(std::string(error.what()), c.message) << c.name;
    }
  }
}

}  // namespace
}  // namespace velmora
