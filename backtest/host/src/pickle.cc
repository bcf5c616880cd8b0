#include "velmora/pickle.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "velmora/errors.h"

namespace velmora {
namespace {

// Opcodes of the binary pickle format.
namespace op {
inline constexpr char MARK = '(';
inline constexpr char STOP = '.';
inline constexpr char POP = '0';
inline constexpr char POP_MARK = '1';
inline constexpr char DUP = '2';
inline constexpr char BININT = 'J';
inline constexpr char BININT1 = 'K';
inline constexpr char BININT2 = 'M';
inline constexpr char NONE = 'N';
inline constexpr char BINUNICODE = 'X';
inline constexpr char APPEND = 'a';
inline constexpr char DICT = 'd';
inline constexpr char EMPTY_DICT = '}';
inline constexpr char APPENDS = 'e';
inline constexpr char GET = 'g';
inline constexpr char BINGET = 'h';
inline constexpr char LONG_BINGET = 'j';
inline constexpr char LIST = 'l';
inline constexpr char EMPTY_LIST = ']';
inline constexpr char PUT = 'p';
inline constexpr char BINPUT = 'q';
inline constexpr char LONG_BINPUT = 'r';
inline constexpr char SETITEM = 's';
inline constexpr char TUPLE = 't';
inline constexpr char EMPTY_TUPLE = ')';
inline constexpr char SETITEMS = 'u';
inline constexpr char BINFLOAT = 'G';
inline constexpr char PROTO = '\x80';
inline constexpr char TUPLE1 = '\x85';
inline constexpr char TUPLE2 = '\x86';
inline constexpr char TUPLE3 = '\x87';
inline constexpr char NEWTRUE = '\x88';
inline constexpr char NEWFALSE = '\x89';
inline constexpr char LONG1 = '\x8a';
inline constexpr char LONG4 = '\x8b';
inline constexpr char SHORT_BINUNICODE = '\x8c';
inline constexpr char BINUNICODE8 = '\x8d';
inline constexpr char MEMOIZE = '\x94';
inline constexpr char FRAME = '\x95';
}  // namespace op

// Containers are written in batches of this many items, as CPython does.
inline constexpr std::size_t BATCH_SIZE = 1000;
// Deeper nesting is refused in both directions, so that neither side can exhaust the stack.
inline constexpr int MAX_DEPTH = 1000;
// Shared references (memo lookups) can make a small pickle expand into a huge value: an expansion into more
// values, or into more text (every copy of a shared text and dict key counted), than this is refused. A
// store's metadata at full history holds a few hundred thousand values and a few megabytes of text.
inline constexpr std::size_t MAX_VALUES = std::size_t{1} << 24;
inline constexpr std::size_t MAX_TEXT_BYTES = std::size_t{1} << 28;

// The name of every opcode of the format, for error messages.
const char* opcode_name(unsigned char code) {
  switch (code) {
    case '(': return "MARK";
    case '.': return "STOP";
    case '0': return "POP";
    case '1': return "POP_MARK";
    case '2': return "DUP";
    case 'F': return "FLOAT";
    case 'I': return "INT";
    case 'J': return "BININT";
    case 'K': return "BININT1";
    case 'L': return "LONG";
    case 'M': return "BININT2";
    case 'N': return "NONE";
    case 'P': return "PERSID";
    case 'Q': return "BINPERSID";
    case 'R': return "REDUCE";
    case 'S': return "STRING";
    case 'T': return "BINSTRING";
    case 'U': return "SHORT_BINSTRING";
    case 'V': return "UNICODE";
    case 'X': return "BINUNICODE";
    case 'a': return "APPEND";
    case 'b': return "BUILD";
    case 'c': return "GLOBAL";
    case 'd': return "DICT";
    case '}': return "EMPTY_DICT";
    case 'e': return "APPENDS";
    case 'g': return "GET";
    case 'h': return "BINGET";
    case 'i': return "INST";
    case 'j': return "LONG_BINGET";
    case 'l': return "LIST";
    case ']': return "EMPTY_LIST";
    case 'o': return "OBJ";
    case 'p': return "PUT";
    case 'q': return "BINPUT";
    case 'r': return "LONG_BINPUT";
    case 's': return "SETITEM";
    case 't': return "TUPLE";
    case ')': return "EMPTY_TUPLE";
    case 'u': return "SETITEMS";
    case 'G': return "BINFLOAT";
    case 0x80: return "PROTO";
    case 0x81: return "NEWOBJ";
    case 0x82: return "EXT1";
    case 0x83: return "EXT2";
    case 0x84: return "EXT4";
    case 0x85: return "TUPLE1";
    case 0x86: return "TUPLE2";
    case 0x87: return "TUPLE3";
    case 0x88: return "NEWTRUE";
    case 0x89: return "NEWFALSE";
    case 0x8a: return "LONG1";
    case 0x8b: return "LONG4";
    case 'B': return "BINBYTES";
    case 'C': return "SHORT_BINBYTES";
    case 0x8c: return "SHORT_BINUNICODE";
    case 0x8d: return "BINUNICODE8";
    case 0x8e: return "BINBYTES8";
    case 0x8f: return "EMPTY_SET";
    case 0x90: return "ADDITEMS";
    case 0x91: return "FROZENSET";
    case 0x92: return "NEWOBJ_EX";
    case 0x93: return "STACK_GLOBAL";
    case 0x94: return "MEMOIZE";
    case 0x95: return "FRAME";
    case 0x96: return "BYTEARRAY8";
    case 0x97: return "NEXT_BUFFER";
    case 0x98: return "READONLY_BUFFER";
    default: return "unknown";
  }
}

std::string hex_byte(unsigned char code) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  return std::string("0x") + DIGITS[code >> 4] + DIGITS[code & 0xf];
}

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t length;
    std::uint32_t code;
    if (c >= 0xc2 && c <= 0xdf) {
      length = 2;
      code = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      length = 3;
      code = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3f);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
        (length == 4 && (code < 0x10000 || code > 0x10ffff))) {
      return false;
    }
    p += length;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------------
// Writing

class Writer {
 public:
  std::string finish(const Value& value) {
    write(value, 0);
    body_ += op::STOP;
    std::string out;
    out.reserve(body_.size() + 11);
    out += op::PROTO;
    out += static_cast<char>(PICKLE_PROTOCOL);
    out += op::FRAME;
    append_le(out, body_.size(), 8);
    out += body_;
    return out;
  }

 private:
  static void append_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  }

  // `depth` counts the containers around `value`, as the reader counts them.
  void write(const Value& value, int depth) {
    switch (value.type()) {
      case Value::value_t::null: body_ += op::NONE; return;
      case Value::value_t::boolean: body_ += value.get<bool>() ? op::NEWTRUE : op::NEWFALSE; return;
      case Value::value_t::number_integer: write_int(value.get<std::int64_t>()); return;
      case Value::value_t::number_unsigned: {
        auto unsigned_value = value.get<std::uint64_t>();
        if (unsigned_value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          throw ValueError("pickle: integer " + std::to_string(unsigned_value) + " is outside the 64-bit range");
        }
        write_int(static_cast<std::int64_t>(unsigned_value));
        return;
      }
      case Value::value_t::number_float: write_float(value.get<double>()); return;
      case Value::value_t::string: write_text(value.get_ref<const std::string&>()); return;
      case Value::value_t::array: write_list(value, depth); return;
      case Value::value_t::object: write_dict(value, depth); return;
      case Value::value_t::binary:
      case Value::value_t::discarded: break;
    }
    throw TypeError("pickle: binary data has no plain pickle form");
  }

  void write_int(std::int64_t value) {
    if (value >= 0 && value < 0x100) {
      body_ += op::BININT1;
      append_le(body_, static_cast<std::uint64_t>(value), 1);
    } else if (value >= 0 && value < 0x10000) {
      body_ += op::BININT2;
      append_le(body_, static_cast<std::uint64_t>(value), 2);
    } else if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
      body_ += op::BININT;
      append_le(body_, static_cast<std::uint32_t>(static_cast<std::int32_t>(value)), 4);
    } else {
      // Shortest little-endian two's complement form: drop top bytes that only repeat the sign.
      auto bits = static_cast<std::uint64_t>(value);
      int length = 8;
      while (length > 1) {
        unsigned top = (bits >> (8 * (length - 1))) & 0xff;
        unsigned next_sign = (bits >> (8 * (length - 1) - 1)) & 1;
        if ((top == 0x00 && next_sign == 0) || (top == 0xff && next_sign == 1)) --length;
        else break;
      }
      body_ += op::LONG1;
      body_ += static_cast<char>(length);
      append_le(body_, bits, length);
    }
  }

  void write_float(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    body_ += op::BINFLOAT;
    for (int i = 7; i >= 0; --i) body_ += static_cast<char>((bits >> (8 * i)) & 0xff);
  }

  void write_text(const std::string& text) {
    if (!is_utf8(text)) throw ValueError("pickle: text is not valid UTF-8");
    if (text.size() < 0x100) {
      body_ += op::SHORT_BINUNICODE;
      append_le(body_, text.size(), 1);
    } else if (text.size() <= 0xffffffffu) {
      body_ += op::BINUNICODE;
      append_le(body_, text.size(), 4);
    } else {
      body_ += op::BINUNICODE8;
      append_le(body_, text.size(), 8);
    }
    body_ += text;
  }

  static void check_depth(int depth) {
    if (depth > MAX_DEPTH) throw ValueError("pickle: value is nested deeper than 1000 levels");
  }

  void write_list(const Value& list, int depth) {
    check_depth(depth);
    body_ += op::EMPTY_LIST;
    for (std::size_t first = 0; first < list.size(); first += BATCH_SIZE) {
      std::size_t last = std::min(list.size(), first + BATCH_SIZE);
      if (last - first == 1) {
        write(list[first], depth + 1);
        body_ += op::APPEND;
        continue;
      }
      body_ += op::MARK;
      for (std::size_t i = first; i < last; ++i) write(list[i], depth + 1);
      body_ += op::APPENDS;
    }
  }

  void write_dict(const Value& dict, int depth) {
    check_depth(depth);
    body_ += op::EMPTY_DICT;
    auto it = dict.items().begin();
    std::size_t remaining = dict.size();
    while (remaining > 0) {
      std::size_t batch = std::min(remaining, BATCH_SIZE);
      if (batch > 1) body_ += op::MARK;
      for (std::size_t i = 0; i < batch; ++i, ++it) {
        write_text(it.key());
        write(it.value(), depth + 1);
      }
      body_ += batch > 1 ? op::SETITEMS : op::SETITEM;
      remaining -= batch;
    }
  }

  std::string body_;
};

// ---------------------------------------------------------------------------------------------------------
// Reading

struct Container;
using ContainerPtr = std::shared_ptr<Container>;

// A stack or memo entry: a scalar value, or a container that memo references may share (a container
// memoized while empty is filled later, and every reference must see the filled one).
using Item = std::variant<Value, ContainerPtr>;

struct Container {
  enum class Kind { list, tuple, dict } kind;
  std::vector<Item> items;                             // list and tuple
  std::vector<std::pair<std::string, Item>> entries;  // dict, in insertion order
  std::unordered_map<std::string, std::size_t> positions;
  bool converting = false;   // set while its expanded size is being counted, to find cycles
  std::size_t expanded = 0;  // the counted expanded size; 0 until counted
  std::size_t expanded_text = 0;  // bytes of text (keys included) in the expansion, once counted
  int height = 0;            // levels of containers from this one down to its deepest, itself included

  explicit Container(Kind k) : kind(k) {}

  void set(std::string key, Item value) {
    auto [found, inserted] = positions.emplace(key, entries.size());
    if (inserted) entries.emplace_back(std::move(key), std::move(value));
    else entries[found->second].second = std::move(value);
  }
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : data_(bytes) {}

  // A pickle may make a container hold itself (refused when converting), or nest containers far deeper than
  // the limit before that is checked. Every container still alive is held here first and then emptied, so
  // that cycles are broken and no container is released while it still holds others: releasing a chain of
  // a million nested lists one inside the other would otherwise recurse once per level.
  ~Reader() {
    std::vector<ContainerPtr> alive;
    alive.reserve(created_.size());
    for (const auto& weak : created_) {
      if (auto container = weak.lock()) alive.push_back(std::move(container));
    }
    for (const auto& container : alive) {
      container->items.clear();
      container->entries.clear();
    }
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  Value run() {
    while (true) {
      if (pos_ >= data_.size()) fail("pickle data ends without STOP");
      std::size_t at = pos_;
      auto code = static_cast<unsigned char>(data_[pos_++]);
      if (code == static_cast<unsigned char>(op::STOP)) return stop(at);
      step(code, at);
    }
  }

 private:
  [[noreturn]] void fail(const std::string& message) const { throw ValueError(message); }
  [[noreturn]] void fail_at(const std::string& message, std::size_t at) const {
    throw ValueError(message + " at byte " + std::to_string(at));
  }

  std::string_view take(std::size_t count) {
    if (count > data_.size() - pos_) fail_at("pickle data is truncated", pos_);
    std::string_view out = data_.substr(pos_, count);
    pos_ += count;
    return out;
  }

  std::uint64_t take_le(std::size_t count) {
    std::string_view bytes = take(count);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    return value;
  }

  std::uint64_t take_decimal_line(std::size_t at) {
    std::size_t newline = data_.find('\n', pos_);
    if (newline == std::string_view::npos) fail_at("pickle data is truncated", pos_);
    std::string_view digits = data_.substr(pos_, newline - pos_);
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
      fail_at("pickle memo index is not a decimal number", at);
    }
    pos_ = newline + 1;
    return value;
  }

  std::size_t mark_floor() const { return marks_.empty() ? 0 : marks_.back(); }

  Item pop(std::size_t at) {
    if (stack_.size() <= mark_floor()) fail_at("pickle stack underflow", at);
    Item top = std::move(stack_.back());
    stack_.pop_back();
    return top;
  }

  Item& top(std::size_t at) {
    if (stack_.size() <= mark_floor()) fail_at("pickle stack underflow", at);
    return stack_.back();
  }

  // The items pushed since the last MARK, which is removed.
  std::vector<Item> pop_to_mark(std::size_t at) {
    if (marks_.empty()) fail_at("pickle MARK is missing", at);
    std::size_t floor = marks_.back();
    marks_.pop_back();
    std::vector<Item> items(std::make_move_iterator(stack_.begin() + static_cast<std::ptrdiff_t>(floor)),
                            std::make_move_iterator(stack_.end()));
    stack_.resize(floor);
    return items;
  }

  Container& target(Container::Kind kind, std::size_t at) {
    auto* container = std::get_if<ContainerPtr>(&top(at));
    if (!container || (*container)->kind != kind) {
      fail_at(kind == Container::Kind::list ? "pickle appends to something that is not a list"
                                            : "pickle sets an item on something that is not a dict",
              at);
    }
    return **container;
  }

  void append_items(std::vector<Item> items, std::size_t at) {
    auto& list = target(Container::Kind::list, at);
    for (auto& item : items) list.items.push_back(std::move(item));
  }

  void set_items(std::vector<Item> items, std::size_t at) {
    if (items.size() % 2 != 0) fail_at("pickle SETITEMS has an odd number of items", at);
    auto& dict = target(Container::Kind::dict, at);
    for (std::size_t i = 0; i < items.size(); i += 2) {
      const auto* key = std::get_if<Value>(&items[i]);
      if (!key || !key->is_string()) fail_at("pickle dict key is not a text", at);
      dict.set(key->get<std::string>(), std::move(items[i + 1]));
    }
  }

  void push_container(Container::Kind kind, std::vector<Item> items = {}) {
    auto container = std::make_shared<Container>(kind);
    container->items = std::move(items);
    created_.push_back(container);
    stack_.emplace_back(std::move(container));
  }

  void push_text(std::size_t length, std::size_t at) {
    std::string_view text = take(length);
    if (!is_utf8(text)) fail_at("pickle text is not valid UTF-8", at);
    stack_.emplace_back(Value(std::string(text)));
  }

  // LONG1 / LONG4 payload: little-endian two's complement, accepted when it fits in int64.
  void push_long(std::size_t length, std::size_t at) {
    std::string_view bytes = take(length);
    if (length == 0) {
      stack_.emplace_back(Value(std::int64_t{0}));
      return;
    }
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    bool negative = (byte(length - 1) & 0x80) != 0;
    for (std::size_t i = 8; i < length; ++i) {
      if (byte(i) != (negative ? 0xff : 0x00)) fail_at("pickle integer is outside the 64-bit range", at);
    }
    if (length >= 8 && ((byte(7) & 0x80) != 0) != negative) fail_at("pickle integer is outside the 64-bit range", at);
    std::uint64_t bits = negative ? ~std::uint64_t{0} : 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(length, 8); ++i) {
      bits &= ~(std::uint64_t{0xff} << (8 * i));
      bits |= std::uint64_t{byte(i)} << (8 * i);
    }
    stack_.emplace_back(Value(static_cast<std::int64_t>(bits)));
  }

  void memo_put(std::uint64_t index, std::size_t at) { memo_[index] = top(at); }

  void memo_get(std::uint64_t index, std::size_t at) {
    auto found = memo_.find(index);
    if (found == memo_.end()) fail_at("pickle memo entry " + std::to_string(index) + " is missing", at);
    stack_.push_back(found->second);
  }

  void step(unsigned char code, std::size_t at) {
    switch (static_cast<char>(code)) {
      case op::PROTO: {
        auto protocol = take_le(1);
        if (protocol > static_cast<std::uint64_t>(PICKLE_PROTOCOL)) {
          fail_at("pickle protocol " + std::to_string(protocol) + " is not supported", at);
        }
        return;
      }
      case op::FRAME: {
        auto length = take_le(8);
        if (length > data_.size() - pos_) fail_at("pickle frame is truncated", at);
        return;
      }
      case op::MARK: marks_.push_back(stack_.size()); return;
      case op::POP:
        if (stack_.size() > mark_floor()) stack_.pop_back();
        else if (!marks_.empty()) marks_.pop_back();
        else fail_at("pickle stack underflow", at);
        return;
      case op::POP_MARK: pop_to_mark(at); return;
      case op::DUP: stack_.push_back(top(at)); return;
      case op::NONE: stack_.emplace_back(Value(nullptr)); return;
      case op::NEWTRUE: stack_.emplace_back(Value(true)); return;
      case op::NEWFALSE: stack_.emplace_back(Value(false)); return;
      case op::BININT1: stack_.emplace_back(Value(static_cast<std::int64_t>(take_le(1)))); return;
      case op::BININT2: stack_.emplace_back(Value(static_cast<std::int64_t>(take_le(2)))); return;
      case op::BININT:
        stack_.emplace_back(Value(std::int64_t{static_cast<std::int32_t>(static_cast<std::uint32_t>(take_le(4)))}));
        return;
      case op::LONG1: push_long(take_le(1), at); return;
      case op::LONG4: {
        auto length = static_cast<std::int32_t>(static_cast<std::uint32_t>(take_le(4)));
        if (length < 0) fail_at("pickle LONG4 has a negative length", at);
        push_long(static_cast<std::size_t>(length), at);
        return;
      }
      case op::BINFLOAT: {
        std::string_view bytes = take(8);
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<unsigned char>(bytes[i]);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        stack_.emplace_back(Value(value));
        return;
      }
      case op::SHORT_BINUNICODE: push_text(take_le(1), at); return;
      case op::BINUNICODE: push_text(take_le(4), at); return;
      case op::BINUNICODE8: push_text(take_le(8), at); return;
      case op::EMPTY_LIST: push_container(Container::Kind::list); return;
      case op::EMPTY_TUPLE: push_container(Container::Kind::tuple); return;
      case op::EMPTY_DICT: push_container(Container::Kind::dict); return;
      case op::LIST: push_container(Container::Kind::list, pop_to_mark(at)); return;
      case op::TUPLE: push_container(Container::Kind::tuple, pop_to_mark(at)); return;
      case op::TUPLE1:
      case op::TUPLE2:
      case op::TUPLE3: {
        std::size_t count = code - static_cast<unsigned char>(op::TUPLE1) + 1;
        if (stack_.size() < mark_floor() + count) fail_at("pickle stack underflow", at);
        std::vector<Item> items(std::make_move_iterator(stack_.end() - static_cast<std::ptrdiff_t>(count)),
                                std::make_move_iterator(stack_.end()));
        stack_.resize(stack_.size() - count);
        push_container(Container::Kind::tuple, std::move(items));
        return;
      }
      case op::DICT: {
        std::vector<Item> items = pop_to_mark(at);
        push_container(Container::Kind::dict);
        set_items(std::move(items), at);
        return;
      }
      case op::APPEND: {
        Item item = pop(at);
        std::vector<Item> items;
        items.push_back(std::move(item));
        append_items(std::move(items), at);
        return;
      }
      case op::APPENDS: append_items(pop_to_mark(at), at); return;
      case op::SETITEM: {
        Item value = pop(at);
        Item key = pop(at);
        std::vector<Item> items;
        items.push_back(std::move(key));
        items.push_back(std::move(value));
        set_items(std::move(items), at);
        return;
      }
      case op::SETITEMS: set_items(pop_to_mark(at), at); return;
      case op::MEMOIZE: memo_put(memo_.size(), at); return;
      case op::BINPUT: memo_put(take_le(1), at); return;
      case op::LONG_BINPUT: memo_put(take_le(4), at); return;
      case op::PUT: memo_put(take_decimal_line(at), at); return;
      case op::BINGET: memo_get(take_le(1), at); return;
      case op::LONG_BINGET: memo_get(take_le(4), at); return;
      case op::GET: memo_get(take_decimal_line(at), at); return;
      default:
        fail_at(std::string("pickle opcode ") + opcode_name(code) + " (" + hex_byte(code) +
                    ") is not allowed: only dict, list, tuple, str, int, float, bool and None can be read",
                at);
    }
  }

  Value stop(std::size_t at) {
    if (!marks_.empty() || stack_.size() != 1) fail_at("pickle STOP finds an unbalanced stack", at);
    if (pos_ != data_.size()) fail_at("pickle data continues after STOP", pos_);
    const Item& result = stack_.back();
    if (const auto* container = std::get_if<ContainerPtr>(&result)) expanded_size(**container, 0);
    memo_.clear();  // so that only real sharing keeps a container's reference count above one
    return convert_move(stack_.back());
  }

  // The number of values that `container` becomes once every shared reference is copied out, counted
  // once per container. Refuses cycles, too deep nesting and an expansion beyond MAX_VALUES before any
  // value is built. A shared container is counted at its first reference only, so its height is kept too:
  // reached again deeper down, it must still end within the depth limit (chains of shared containers would
  // otherwise build a value nested far deeper than the limit, and building it would exhaust the stack).
  std::size_t expanded_size(Container& container, int depth) {
    if (container.expanded != 0) {
      if (depth + container.height - 1 > MAX_DEPTH) fail("pickle data is nested deeper than 1000 levels");
      return container.expanded;
    }
    if (depth > MAX_DEPTH) fail("pickle data is nested deeper than 1000 levels");
    if (container.converting) fail("pickle data contains itself");
    container.converting = true;
    std::size_t total = 1;
    std::size_t text = 0;
    int height = 1;
    auto add = [&](const Item& item) {
      const auto* child = std::get_if<ContainerPtr>(&item);
      if (child) {
        total += expanded_size(**child, depth + 1);
        text += (*child)->expanded_text;
        height = std::max(height, (*child)->height + 1);
      } else {
        total += 1;
        const Value& scalar = std::get<Value>(item);
        if (scalar.is_string()) text += scalar.get_ref<const std::string&>().size();
      }
      if (total > MAX_VALUES) fail("pickle data expands to more than 16777216 values");
      if (text > MAX_TEXT_BYTES) fail("pickle data expands to more than 268435456 bytes of text");
    };
    for (const auto& item : container.items) add(item);
    for (const auto& entry : container.entries) {
      text += entry.first.size();
      add(entry.second);
    }
    container.converting = false;
    container.height = height;
    container.expanded = total;
    container.expanded_text = text;
    return total;
  }

  // Builds the value of `item`, moving out of containers that nothing else references (every container of a
  // pickle written without shared references); a shared container is copied at each of its references.
  static Value convert_move(Item& item) {
    if (auto* scalar = std::get_if<Value>(&item)) return std::move(*scalar);
    ContainerPtr& container = std::get<ContainerPtr>(item);
    if (container.use_count() > 1) return convert_copy(item);
    return build(*container, [](Item& child) { return convert_move(child); });
  }

  static Value convert_copy(const Item& item) {
    if (const auto* scalar = std::get_if<Value>(&item)) return *scalar;
    return build(*std::get<ContainerPtr>(item), [](const Item& child) { return convert_copy(child); });
  }

  template <typename Container_, typename Convert>
  static Value build(Container_& container, Convert convert) {
    Value out;
    if (container.kind == Container::Kind::dict) {
      // Keys are unique already, so entries go straight into the map's storage (its own insert searches
      // linearly, which would make a large dict quadratic).
      out = Value::object();
      auto& storage = static_cast<Value::object_t::Container&>(out.get_ref<Value::object_t&>());
      storage.reserve(container.entries.size());
      for (auto& [key, value] : container.entries) storage.emplace_back(key, convert(value));
    } else {
      out = Value::array();
      auto& storage = out.get_ref<Value::array_t&>();
      storage.reserve(container.items.size());
      for (auto& element : container.items) storage.push_back(convert(element));
    }
    return out;
  }

  std::string_view data_;
  std::size_t pos_ = 0;
  std::vector<Item> stack_;
  std::vector<std::size_t> marks_;
  std::unordered_map<std::uint64_t, Item> memo_;
  std::vector<std::weak_ptr<Container>> created_;
};

}  // namespace

std::string pickle_dumps(const Value& value) { return Writer().finish(value); }

Value pickle_loads(std::string_view bytes) { return Reader(bytes).run(); }

}  // namespace velmora
