#include "npy_format.h"

#include <bit>
#include <cctype>
#include <charconv>
#include <optional>

#include "store_messages.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

static_assert(std::endian::native == std::endian::little, "cells are written in the machine's byte order");

constexpr std::string_view MAGIC = "\x93NUMPY";
constexpr std::size_t ALIGNMENT = 64;

const char* descr_of(CellType type) { return type == CellType::float64 ? "<f8" : "|b1"; }

// A cursor over the header's dict literal. Accepts exactly what numpy writes (and Python's repr of such a
// dict with other spacing or key order): text keys, text, True/False and tuples of integers as values.
class HeaderParser {
 public:
  explicit HeaderParser(std::string_view text) : text_(text) {}

  NpyHeader parse() {
    NpyHeader header;
    std::optional<std::string> descr;
    std::optional<bool> fortran_order;
    bool has_shape = false;
    expect('{');
    while (true) {
      skip_space();
      if (peek() == '}') break;
      std::string key = parse_text();
      expect(':');
      if (key == "descr") {
        descr = parse_text();
      } else if (key == "fortran_order") {
        fortran_order = parse_bool();
      } else if (key == "shape") {
        header.shape = parse_shape();
        has_shape = true;
      } else {
        fail();
      }
      skip_space();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() != '}') fail();
    }
    ++pos_;
    skip_space();
    if (pos_ != text_.size() || !descr || !fortran_order || !has_shape) fail();
    if (*fortran_order && header.shape.size() > 1) throw ValueError(store_messages::NPY_FORTRAN_ORDER);
    if (*descr == "<f8") header.type = CellType::float64;
    else if (*descr == "|b1") header.type = CellType::boolean;
    else throw ValueError(store_messages::npy_element_type(*descr));
    return header;
  }

 private:
  [[noreturn]] static void fail() { throw ValueError(store_messages::NPY_HEADER_UNREADABLE); }

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n')) ++pos_;
  }
  void expect(char c) {
    skip_space();
    if (peek() != c) fail();
    ++pos_;
  }

  std::string parse_text() {
    skip_space();
    char quote = peek();
    if (quote != '\'' && quote != '"') fail();
    std::size_t end = text_.find(quote, pos_ + 1);
    if (end == std::string_view::npos) fail();
    std::string out(text_.substr(pos_ + 1, end - pos_ - 1));
    pos_ = end + 1;
    return out;
  }

  bool parse_bool() {
    skip_space();
    for (auto [word, value] : {std::pair{std::string_view("True"), true}, {std::string_view("False"), false}}) {
      if (text_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return value;
      }
    }
    fail();
  }

  std::vector<std::uint64_t> parse_shape() {
    std::vector<std::uint64_t> shape;
    expect('(');
    while (true) {
      skip_space();
      if (peek() == ')') break;
      std::uint64_t dimension = 0;
      auto [end, error] = std::from_chars(text_.data() + pos_, text_.data() + text_.size(), dimension);
      if (error != std::errc()) fail();
      pos_ = static_cast<std::size_t>(end - text_.data());
      shape.push_back(dimension);
      skip_space();
      if (peek() == ',') ++pos_;
      else if (peek() != ')') fail();
    }
    ++pos_;
    return shape;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::uint64_t NpyHeader::data_bytes() const {
  std::uint64_t bytes = element_size();
  for (auto dimension : shape) {
    if (dimension != 0 && bytes > UINT64_MAX / dimension) throw ValueError(store_messages::NPY_HEADER_UNREADABLE);
    bytes *= dimension;
  }
  return bytes;
}

std::string npy_preamble(CellType type, const std::vector<std::uint64_t>& shape) {
  std::string dict = std::string("{'descr': '") + descr_of(type) + "', 'fortran_order': False, 'shape': (";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) dict += ", ";
    dict += std::to_string(shape[i]);
  }
  dict += shape.size() == 1 ? ",), }" : "), }";
  std::size_t unpadded = MAGIC.size() + 4 + dict.size() + 1;
  std::size_t padding = (ALIGNMENT - unpadded % ALIGNMENT) % ALIGNMENT;
  dict.append(padding, ' ');
  dict += '\n';
  std::string out(MAGIC);
  out += '\x01';
  out += '\x00';
  out += static_cast<char>(dict.size() & 0xff);
  out += static_cast<char>(dict.size() >> 8);
  return out + dict;
}

std::size_t npy_preamble_size(std::string_view prefix) {
  if (prefix.size() < MAGIC.size() + 4 || prefix.substr(0, MAGIC.size()) != MAGIC) {
    throw ValueError(store_messages::NOT_NPY);
  }
  auto byte = [&](std::size_t i) { return std::size_t{static_cast<unsigned char>(prefix[i])}; };
  int major = static_cast<int>(byte(6)), minor = static_cast<int>(byte(7));
  if (major == 1 && minor == 0) return 10 + (byte(8) | byte(9) << 8);
  if ((major == 2 || major == 3) && minor == 0) {
    if (prefix.size() < NPY_PREFIX_SIZE) throw ValueError(store_messages::NOT_NPY);
    std::size_t length = byte(8) | byte(9) << 8 | byte(10) << 16 | byte(11) << 24;
    if (length > NPY_MAX_PREAMBLE) throw ValueError(store_messages::NPY_HEADER_UNREADABLE);
    return 12 + length;
  }
  throw ValueError(store_messages::npy_version(major, minor));
}

NpyHeader parse_npy_preamble(std::string_view preamble) {
  std::size_t dict_start = static_cast<unsigned char>(preamble[6]) == 1 ? 10 : 12;
  NpyHeader header = HeaderParser(preamble.substr(dict_start)).parse();
  header.data_offset = preamble.size();
  return header;
}

}  // namespace velmora::backtest
