#include "velmora/column.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "velmora/page_advice.h"

namespace velmora {

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

template <typename T>
std::shared_ptr<const std::vector<T>> share(std::vector<T> values) {
  return std::make_shared<const std::vector<T>>(std::move(values));
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

double numeric_cell(const Cell& cell) {
  if (const auto* d = std::get_if<double>(&cell)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
  if (const auto* s = std::get_if<std::string>(&cell)) return parse_number(*s).value_or(NOT_A_NUMBER);
  return NOT_A_NUMBER;
}

// Hash-based encoding of a fixed-width column: distinct values in order of first appearance.
template <typename T, typename MakeCell>
EncodedColumn encode_values(std::span<const T> values, std::span<const std::uint8_t> valid, MakeCell make_cell) {
  std::vector<std::int32_t> codes(values.size(), -1);
  std::vector<Cell> distinct;
  std::unordered_map<T, std::int32_t> seen;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!valid.empty() && !valid[i]) continue;
    auto [found, inserted] = seen.try_emplace(values[i], static_cast<std::int32_t>(distinct.size()));
    if (inserted) distinct.push_back(make_cell(values[i]));
    codes[i] = found->second;
  }
  return {share(std::move(codes)), std::move(distinct)};
}

}  // namespace

std::optional<double> parse_number(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars takes no sign of its own (we took it) and reads "inf", "infinity" and "nan" in any case.
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  double value = 0.0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end != text.data() + text.size()) return std::nullopt;
  if (error == std::errc::result_out_of_range) {
    // Beyond the double range: ±inf or 0, as strtod rounds it.
    value = std::strtod(std::string(text).c_str(), nullptr);
  } else if (error != std::errc()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

Column::Column() : doubles_(share(std::vector<double>())) {}

Column Column::float64(std::vector<double> values, std::vector<std::uint8_t> valid) {
  Column column;
  column.type_ = ColumnType::float64;
  column.size_ = values.size();
  if (!valid.empty()) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!valid[i]) values[i] = NOT_A_NUMBER;
    }
    column.valid_ = share(std::move(valid));
  }
  column.doubles_ = share(std::move(values));
  return column;
}

Column Column::int64(std::vector<std::int64_t> values, std::vector<std::uint8_t> valid) {
  Column column;
  column.type_ = ColumnType::int64;
  column.size_ = values.size();
  column.doubles_.reset();
  column.integers_ = share(std::move(values));
  if (!valid.empty()) column.valid_ = share(std::move(valid));
  return column;
}

Column Column::datetime(std::vector<std::int64_t> micros, std::vector<std::uint8_t> valid) {
  Column column = int64(std::move(micros), std::move(valid));
  column.type_ = ColumnType::datetime;
  return column;
}

Column Column::text(std::vector<std::int32_t> codes, std::vector<std::string> dictionary) {
  Column column;
  column.type_ = ColumnType::text;
  column.size_ = codes.size();
  column.doubles_.reset();
  column.codes_ = share(std::move(codes));
  column.dictionary_ = share(std::move(dictionary));
  return column;
}

Column Column::text(std::shared_ptr<const std::vector<std::int32_t>> codes, std::vector<std::string> dictionary) {
  Column column;
  column.type_ = ColumnType::text;
  column.size_ = codes->size();
  column.doubles_.reset();
  column.codes_ = std::move(codes);
  column.dictionary_ = share(std::move(dictionary));
  return column;
}

Column Column::variant(std::vector<Cell> cells) {
  Column column;
  column.type_ = ColumnType::variant;
  column.size_ = cells.size();
  column.doubles_.reset();
  column.cells_ = share(std::move(cells));
  return column;
}

bool Column::is_missing(std::size_t row) const {
  switch (type_) {
    case ColumnType::text:
      return (*codes_)[row] < 0;
    case ColumnType::variant:
      return std::holds_alternative<std::monostate>((*cells_)[row]);
    default:
      return valid_ && !(*valid_)[row];
  }
}

Cell Column::cell(std::size_t row) const {
  if (is_missing(row)) return std::monostate{};
  switch (type_) {
    case ColumnType::float64:
      return (*doubles_)[row];
    case ColumnType::int64:
      return (*integers_)[row];
    case ColumnType::datetime:
      return DateTime{(*integers_)[row]};
    case ColumnType::text:
      return (*dictionary_)[static_cast<std::size_t>((*codes_)[row])];
    case ColumnType::variant:
      return (*cells_)[row];
  }
  return std::monostate{};
}

std::span<const double> Column::float64_values() const { return *doubles_; }
std::span<const std::int64_t> Column::int64_values() const { return *integers_; }
std::span<const std::int32_t> Column::text_codes() const { return *codes_; }
const std::vector<std::string>& Column::dictionary() const { return *dictionary_; }
std::span<const Cell> Column::cells() const { return *cells_; }

std::span<const std::uint8_t> Column::validity() const {
  if (!valid_) return {};
  return *valid_;
}

EncodedColumn Column::encode() const {
  switch (type_) {
    case ColumnType::text: {
      std::vector<Cell> distinct(dictionary_->begin(), dictionary_->end());
      return {codes_, std::move(distinct)};
    }
    case ColumnType::float64: {
      // Encode by bit pattern so that every NaN payload and -0.0 stay distinct values, as a number is.
      std::vector<std::int64_t> bits(size_);
      std::transform(doubles_->begin(), doubles_->end(), bits.begin(),
                     [](double d) { return std::bit_cast<std::int64_t>(d); });
      return encode_values<std::int64_t>(bits, validity(),
                                         [](std::int64_t b) { return Cell(std::bit_cast<double>(b)); });
    }
    case ColumnType::int64:
      return encode_values<std::int64_t>(*integers_, validity(), [](std::int64_t v) { return Cell(v); });
    case ColumnType::datetime:
      return encode_values<std::int64_t>(*integers_, validity(), [](std::int64_t v) { return Cell(DateTime{v}); });
    case ColumnType::variant: {
      std::vector<std::int32_t> codes(size_, -1);
      std::vector<Cell> distinct;
      for (std::size_t i = 0; i < size_; ++i) {
        const Cell& cell = (*cells_)[i];
        if (std::holds_alternative<std::monostate>(cell)) continue;
        auto found = std::find(distinct.begin(), distinct.end(), cell);
        if (found == distinct.end()) found = distinct.insert(distinct.end(), cell);
        codes[i] = static_cast<std::int32_t>(found - distinct.begin());
      }
      return {share(std::move(codes)), std::move(distinct)};
    }
  }
  return {};
}

std::shared_ptr<const std::vector<double>> Column::numeric() const {
  switch (type_) {
    case ColumnType::float64:
      return doubles_;
    case ColumnType::int64: {
      std::vector<double> out(size_);
      for (std::size_t i = 0; i < size_; ++i) {
        out[i] = is_missing(i) ? NOT_A_NUMBER : static_cast<double>((*integers_)[i]);
      }
      return share(std::move(out));
    }
    case ColumnType::datetime:
      return share(std::vector<double>(size_, NOT_A_NUMBER));
    case ColumnType::text: {
      std::vector<double> per_text(dictionary_->size());
      std::transform(dictionary_->begin(), dictionary_->end(), per_text.begin(),
                     [](const std::string& s) { return parse_number(s).value_or(NOT_A_NUMBER); });
      std::vector<double> out(size_);
      for (std::size_t i = 0; i < size_; ++i) {
        std::int32_t code = (*codes_)[i];
        out[i] = code < 0 ? NOT_A_NUMBER : per_text[static_cast<std::size_t>(code)];
      }
      return share(std::move(out));
    }
    case ColumnType::variant: {
      std::vector<double> out(size_);
      std::transform(cells_->begin(), cells_->end(), out.begin(), numeric_cell);
      return share(std::move(out));
    }
  }
  return {};
}

Column Column::take(std::span<const std::size_t> positions) const {
  auto pick_valid = [&]() {
    std::vector<std::uint8_t> valid;
    if (!valid_) return valid;
    reserve_advised(valid, positions.size());
    for (std::size_t p : positions) valid.push_back((*valid_)[p]);
    return valid;
  };
  switch (type_) {
    case ColumnType::float64: {
      std::vector<double> values;
      reserve_advised(values, positions.size());
      for (std::size_t p : positions) values.push_back((*doubles_)[p]);
      return float64(std::move(values), pick_valid());
    }
    case ColumnType::int64:
    case ColumnType::datetime: {
      std::vector<std::int64_t> values;
      reserve_advised(values, positions.size());
      for (std::size_t p : positions) values.push_back((*integers_)[p]);
      Column column = int64(std::move(values), pick_valid());
      column.type_ = type_;
      return column;
    }
    case ColumnType::text: {
      std::vector<std::int32_t> codes;
      reserve_advised(codes, positions.size());
      for (std::size_t p : positions) codes.push_back((*codes_)[p]);
      Column column;
      column.type_ = ColumnType::text;
      column.size_ = codes.size();
      column.doubles_.reset();
      column.codes_ = share(std::move(codes));
      column.dictionary_ = dictionary_;
      return column;
    }
    case ColumnType::variant: {
      std::vector<Cell> cells;
      cells.reserve(positions.size());
      for (std::size_t p : positions) cells.push_back((*cells_)[p]);
      return variant(std::move(cells));
    }
  }
  return {};
}

}  // namespace velmora
