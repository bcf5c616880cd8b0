#include "velmora/column_builder.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

#include "velmora/page_advice.h"

namespace velmora {

ColumnBuilder::ColumnBuilder() = default;
ColumnBuilder::~ColumnBuilder() = default;
ColumnBuilder::ColumnBuilder(ColumnBuilder&&) noexcept = default;
ColumnBuilder& ColumnBuilder::operator=(ColumnBuilder&&) noexcept = default;

void ColumnBuilder::reserve(std::size_t rows) { reserved_ = rows; }

void ColumnBuilder::push_valid(bool present) {
  // The mask is made only once the first missing cell arrives; until then every cell is present.
  if (!present && valid_.empty()) valid_.assign(size_, 1);
  if (!valid_.empty()) valid_.push_back(present ? 1 : 0);
}

Cell ColumnBuilder::cell_at(std::size_t row) const {
  bool present = valid_.empty() || valid_[row];
  switch (state_) {
    case State::int64:
      return present ? Cell(integers_[row]) : Cell();
    case State::float64:
      return present ? Cell(doubles_[row]) : Cell();
    case State::datetime:
      return present ? Cell(DateTime{integers_[row]}) : Cell();
    case State::text:
      return codes_[row] < 0 ? Cell() : Cell(texts_[static_cast<std::size_t>(codes_[row])]);
    case State::unknown:
    case State::variant:
      break;
  }
  return cells_.empty() ? Cell() : cells_[row];
}

void ColumnBuilder::switch_to_variant() {
  std::vector<Cell> cells;
  cells.reserve(size_ + 1);
  for (std::size_t row = 0; row < size_; ++row) cells.push_back(cell_at(row));
  cells_ = std::move(cells);
  doubles_ = {};
  integers_ = {};
  valid_ = {};
  codes_ = {};
  texts_ = {};
  hashes_ = {};
  slots_ = {};
  last_code_ = -1;
  state_ = State::variant;
}

void ColumnBuilder::append_missing() {
  switch (state_) {
    case State::unknown:
      break;
    case State::int64:
    case State::datetime:
      integers_.push_back(0);
      push_valid(false);
      break;
    case State::float64:
      doubles_.push_back(std::numeric_limits<double>::quiet_NaN());
      push_valid(false);
      break;
    case State::text:
      codes_.push_back(-1);
      break;
    case State::variant:
      cells_.emplace_back();
      break;
  }
  ++size_;
}

void ColumnBuilder::append_double(double value) {
  if (state_ == State::unknown) {
    state_ = State::float64;
    reserve_advised(doubles_, reserved_);
    doubles_.assign(size_, std::numeric_limits<double>::quiet_NaN());
    if (size_) valid_.assign(size_, 0);
  } else if (state_ == State::int64) {
    // Integers beside doubles become doubles.
    doubles_.resize(integers_.size());
    for (std::size_t row = 0; row < integers_.size(); ++row) {
      bool present = valid_.empty() || valid_[row];
      doubles_[row] = present ? static_cast<double>(integers_[row]) : std::numeric_limits<double>::quiet_NaN();
    }
    integers_ = {};
    state_ = State::float64;
  } else if (state_ != State::float64) {
    if (state_ != State::variant) switch_to_variant();
    cells_.emplace_back(value);
    ++size_;
    return;
  }
  doubles_.push_back(value);
  push_valid(true);
  ++size_;
}

void ColumnBuilder::append_int(std::int64_t value) {
  if (state_ == State::unknown) {
    state_ = State::int64;
    reserve_advised(integers_, reserved_);
    integers_.assign(size_, 0);
    if (size_) valid_.assign(size_, 0);
  }
  if (state_ == State::int64) {
    integers_.push_back(value);
    push_valid(true);
    ++size_;
  } else if (state_ == State::float64) {
    doubles_.push_back(static_cast<double>(value));
    push_valid(true);
    ++size_;
  } else {
    if (state_ != State::variant) switch_to_variant();
    cells_.emplace_back(value);
    ++size_;
  }
}

void ColumnBuilder::append_text(std::string_view text) {
  if (state_ == State::unknown) {
    state_ = State::text;
    reserve_advised(codes_, reserved_);
    codes_.assign(size_, -1);
  }
  if (state_ != State::text) {
    if (state_ != State::variant) switch_to_variant();
    cells_.emplace_back(std::string(text));
    ++size_;
    return;
  }
  // Consecutive rows often repeat a text (a factor name, a date): reuse the last code without hashing.
  if (last_code_ < 0 || texts_[static_cast<std::size_t>(last_code_)] != text) last_code_ = text_code(text);
  codes_.push_back(last_code_);
  ++size_;
}

std::int32_t ColumnBuilder::text_code(std::string_view text) {
  if ((texts_.size() + 1) * 2 > slots_.size()) {
    // Keep the table at most half full: double it and re-insert every code.
    slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), -1);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t code = 0; code < hashes_.size(); ++code) {
      std::size_t slot = hashes_[code] & mask;
      while (slots_[slot] >= 0) slot = (slot + 1) & mask;
      slots_[slot] = static_cast<std::int32_t>(code);
    }
  }
  const std::size_t hash = std::hash<std::string_view>()(text);
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hash & mask;
  for (; slots_[slot] >= 0; slot = (slot + 1) & mask) {
    auto code = static_cast<std::size_t>(slots_[slot]);
    if (hashes_[code] == hash && texts_[code] == text) return slots_[slot];
  }
  auto code = static_cast<std::int32_t>(texts_.size());
  texts_.emplace_back(text);
  hashes_.push_back(hash);
  slots_[slot] = code;
  return code;
}

void ColumnBuilder::append_datetime(DateTime value) {
  if (state_ == State::unknown) {
    state_ = State::datetime;
    reserve_advised(integers_, reserved_);
    integers_.assign(size_, 0);
    if (size_) valid_.assign(size_, 0);
  }
  if (state_ != State::datetime) {
    if (state_ != State::variant) switch_to_variant();
    cells_.emplace_back(value);
    ++size_;
    return;
  }
  integers_.push_back(value.micros);
  push_valid(true);
  ++size_;
}

void ColumnBuilder::append(const Cell& cell) {
  std::visit(
      [this](const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          append_missing();
        } else if constexpr (std::is_same_v<T, double>) {
          append_double(value);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          append_int(value);
        } else if constexpr (std::is_same_v<T, std::string>) {
          append_text(value);
        } else {
          append_datetime(value);
        }
      },
      cell);
}

Column ColumnBuilder::finish() {
  Column column;
  switch (state_) {
    case State::unknown:
      column = Column::float64(std::vector<double>(size_, std::numeric_limits<double>::quiet_NaN()),
                               std::vector<std::uint8_t>(size_, 0));
      break;
    case State::int64:
      column = Column::int64(std::move(integers_), std::move(valid_));
      break;
    case State::float64:
      column = Column::float64(std::move(doubles_), std::move(valid_));
      break;
    case State::datetime:
      column = Column::datetime(std::move(integers_), std::move(valid_));
      break;
    case State::text:
      column = Column::text(std::move(codes_), std::vector<std::string>(std::make_move_iterator(texts_.begin()),
                                                                         std::make_move_iterator(texts_.end())));
      break;
    case State::variant:
      column = Column::variant(std::move(cells_));
      break;
  }
  *this = ColumnBuilder();
  return column;
}

}  // namespace velmora
