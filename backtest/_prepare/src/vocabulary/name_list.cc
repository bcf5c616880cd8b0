#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"

namespace velmora::backtest {

namespace {

// Decodes the UTF-8 code point that starts at text[i] (or ends just before text[end]); returns its length,
// or 0 for a malformed sequence (never white space then).
std::size_t decode_at(std::string_view text, std::size_t i, char32_t& cp) {
  auto b = static_cast<unsigned char>(text[i]);
  std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > text.size()) return 0;
  cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    auto c = static_cast<unsigned char>(text[i + k]);
    if ((c >> 6) != 0x2) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  return len;
}

// The white-space characters that Python's str.strip() removes.
bool is_unicode_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

std::string_view strip_unicode_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t cp = 0;
    std::size_t len = decode_at(text, begin, cp);
    if (len == 0 || !is_unicode_space(cp)) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the first byte of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) >> 6) == 0x2) --start;
    char32_t cp = 0;
    std::size_t len = decode_at(text, start, cp);
    if (len != end - start || !is_unicode_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t found; (found = text.find(from, pos)) != std::string::npos; pos = found + from.size()) {
    out.append(text, pos, found - pos);
    out.append(to);
  }
  out.append(text, pos, std::string::npos);
  text.swap(out);
}

void append_clean(std::vector<std::string>& out, std::string_view piece) {
  std::string_view stripped = strip_unicode_space(piece);
  if (!stripped.empty()) out.emplace_back(stripped);
}

// Python's repr of a float: shortest round-trip digits, fixed notation for exponents -4..15 with at least
// one fractional digit, scientific otherwise.
std::string python_float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, end);
  bool negative = sci[0] == '-';
  std::string_view body(sci);
  if (negative) body.remove_prefix(1);
  std::size_t e = body.find('e');
  int exponent = std::stoi(std::string(body.substr(e + 1)));
  std::string digits;
  for (char c : body.substr(0, e))
    if (c != '.') digits += c;
  // Built by appending: GCC 12 at -O3 misreports overlapping copies in chained string concatenations.
  std::string out;
  if (negative) out.push_back('-');
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out.append(digits);
    } else {
      auto int_len = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_len) {
        out.append(digits);
        out.append(int_len - digits.size(), '0');
        out.append(".0");
      } else {
        out.append(digits, 0, int_len);
        out.push_back('.');
        out.append(digits, int_len, std::string::npos);
      }
    }
  } else {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    char exp_text[16];
    std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out.append(exp_text);
  }
  return out;
}

}  // namespace

std::string value_text(const Value& value) {
  switch (value.type()) {
    case Value::value_t::string:
      return value.get_ref<const std::string&>();
    case Value::value_t::null:
      return "None";
    case Value::value_t::boolean:
      return value.get<bool>() ? "True" : "False";
    case Value::value_t::number_float:
      return python_float_text(value.get<double>());
    default:
      return value.dump();
  }
}

std::vector<std::string> parse_name_list(const Value& raw_values) {
  std::vector<std::string> out;
  if (raw_values.is_null()) return out;
  if (raw_values.is_string()) {
    std::string text = raw_values.get<std::string>();
    replace_all(text, "\xEF\xBC\x8C", ",");  // U+FF0C full-width comma
    replace_all(text, "\xEF\xBC\x9B", ",");  // U+FF1B full-width semicolon
    replace_all(text, ";", ",");
    replace_all(text, "\n", ",");
    std::string_view rest = text;
    for (;;) {
      std::size_t comma = rest.find(',');
      append_clean(out, rest.substr(0, comma));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    return out;
  }
  if (!raw_values.is_array())
    throw TypeError("name list must be None, a text or a sequence, not " + std::string(raw_values.type_name()));
  for (const Value& element : raw_values) append_clean(out, value_text(element));
  return out;
}

std::vector<std::string> parse_name_list(const std::vector<std::string>& raw_values) {
  std::vector<std::string> out;
  out.reserve(raw_values.size());
  for (const auto& element : raw_values) append_clean(out, element);
  return out;
}

}  // namespace velmora::backtest
