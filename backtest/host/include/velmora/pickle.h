#pragma once

// A pickle codec for plain data: the builtin kinds that a metadata file holds (dict, list, str, int, float,
// bool, None), read and written in the binary format of CPython's `pickle` module.
//
// Reading is safe on untrusted input. The reader is a stack machine over the data opcodes only (containers,
// texts, numbers, booleans, None, the memo, marks and frames). Every opcode that names, imports, calls or
// constructs something (GLOBAL, STACK_GLOBAL, REDUCE, BUILD, INST, OBJ, NEWOBJ, PERSID, EXT1, ...) is refused
// before anything is done with it, so a pickle can never run code here. Truncated or malformed input,
// integers outside the 64-bit range, texts that are not UTF-8, dict keys that are not texts and structures
// that contain themselves are refused too, as are nesting deeper than 1000 levels and shared references that
// would expand to more than 2^24 values. Every refusal throws ValueError with a message that names the
// problem and, for a problem at one opcode, its byte offset.
//
// Kinds map as follows: dict ↔ map (insertion order kept), list ↔ list, a tuple is read as a list, str ↔
// text, int ↔ integer (int64), float ↔ float, bool ↔ bool, None ↔ null.

#include <string>
#include <string_view>

#include "velmora/host_export.h"
#include "velmora/value.h"

namespace velmora {

// The highest pickle protocol, the one `pickle_dumps` writes.
inline constexpr int PICKLE_PROTOCOL = 5;

// `value` as a protocol-5 pickle with framing, as `pickle.loads` reads it. Throws TypeError for a value
// kind that has no plain pickle form (binary data) and ValueError for an unsigned integer above the int64
// range or a text that is not valid UTF-8.
VELMORA_HOST_EXPORT std::string pickle_dumps(const Value& value);

// The value that `bytes` (a pickle written at protocol 2 to 5, or an older one using only data opcodes)
// holds. Throws ValueError as described above; never runs or constructs anything the data names.
VELMORA_HOST_EXPORT Value pickle_loads(std::string_view bytes);

}  // namespace velmora
