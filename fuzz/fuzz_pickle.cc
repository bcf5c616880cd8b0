// The metadata reader on arbitrary bytes. Invariants: it never crashes and stays within the memory limit
// (libFuzzer's -rss_limit_mb); every refusal is a ValueError; a pickle it accepts contains no opcode that
// imports, calls or constructs anything (checked by an independent walk over the opcodes); and the value it
// returns re-encodes to bytes that decode to the same value again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "velmora/errors.h"
#include "velmora/pickle.h"

namespace {

// The length of the argument that follows `code`, for the data opcodes; -1 for every other opcode, which an
// accepted pickle must not contain. `rest` is the input after the opcode byte.
long argument_length(unsigned char code, std::string_view rest) {
  auto little_endian = [&](std::size_t bytes) -> long {
    if (rest.size() < bytes) return -1;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{static_cast<unsigned char>(rest[i])} << (8 * i);
    if (value > rest.size() - bytes) return -1;
    return static_cast<long>(bytes + value);
  };
  switch (code) {
    case '(': case '.': case '0': case '1': case '2': case 'N': case 'a': case 'd': case '}': case 'e':
    case 'l': case ']': case 's': case 't': case ')': case 'u': case 0x85: case 0x86: case 0x87: case 0x88:
    case 0x89: case 0x94:
      return 0;
    case 'K': case 'h': case 'q': case 0x80: return 1;
    case 'M': return 2;
    case 'J': case 'j': case 'r': return 4;
    case 'G': case 0x95: return 8;
    case 'g': case 'p': {
      auto newline = rest.find('\n');
      return newline == std::string_view::npos ? -1 : static_cast<long>(newline + 1);
    }
    case 'X': case 0x8b: return little_endian(4);
    case 0x8a: case 0x8c: return little_endian(1);
    case 0x8d: return little_endian(8);
    default: return -1;
  }
}

// True when every opcode of `bytes`, up to STOP, is a data opcode.
bool only_data_opcodes(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    auto code = static_cast<unsigned char>(bytes[pos++]);
    if (code == '.') return true;
    long length = argument_length(code, bytes.substr(pos));
    if (length < 0) return false;
    pos += static_cast<std::size_t>(length);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  velmora::Value value;
  try {
    value = velmora::pickle_loads(bytes);
  } catch (const velmora::ValueError&) {
    return 0;
  }
  FUZZ_CHECK(only_data_opcodes(bytes), "an accepted pickle holds an opcode that is not plain data");

  // Bytes compared rather than values, so that a NaN compares equal to itself.
  std::string encoded = velmora::pickle_dumps(value);
  std::string again = velmora::pickle_dumps(velmora::pickle_loads(encoded));
  FUZZ_CHECK(encoded == again, "the accepted value does not survive writing and reading again");
  return 0;
}
