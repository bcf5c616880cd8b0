#pragma once

// Builds a Column one cell at a time, choosing the column's kind from the cells it is given: integers only
// give int64, numbers give float64 (integers beside doubles become doubles), texts give a dictionary-encoded
// text column, date-times give datetime; a column that mixes texts or date-times with anything else of a
// different kind falls back to a variant column, which keeps every cell's own kind. Missing cells fit every
// kind. A column of missing cells only is a float64 column of NaN.
//
// Texts are dictionary-encoded as they arrive: a repeat of the previous text costs one comparison, any
// other text one probe of an open-addressing table of codes.
//
// Not thread-safe; one builder per column.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/column.h"
#include "velmora/host_export.h"

namespace velmora {

class VELMORA_HOST_EXPORT ColumnBuilder {
 public:
  ColumnBuilder();
  ~ColumnBuilder();
  ColumnBuilder(ColumnBuilder&&) noexcept;
  ColumnBuilder& operator=(ColumnBuilder&&) noexcept;

  // Room for `rows` cells in the buffer of the kind the first value chooses.
  void reserve(std::size_t rows);

  void append_missing();
  void append_double(double value);
  void append_int(std::int64_t value);
  void append_text(std::string_view text);
  void append_datetime(DateTime value);
  void append(const Cell& cell);

  std::size_t size() const { return size_; }

  // The column of every cell appended so far; the builder is left empty.
  Column finish();

 private:
  enum class State : std::uint8_t { unknown, int64, float64, text, datetime, variant };

  void switch_to_variant();
  std::int32_t text_code(std::string_view text);
  void push_valid(bool present);
  Cell cell_at(std::size_t row) const;

  State state_ = State::unknown;
  std::size_t size_ = 0;
  std::size_t reserved_ = 0;
  std::vector<double> doubles_;
  std::vector<std::int64_t> integers_;
  std::vector<std::uint8_t> valid_;
  std::vector<std::int32_t> codes_;
  std::deque<std::string> texts_;    // the dictionary, by code
  std::vector<std::size_t> hashes_;  // the hash of each dictionary text, by code
  std::vector<std::int32_t> slots_;  // open addressing: a code or -1; the size is a power of two
  std::int32_t last_code_ = -1;
  std::vector<Cell> cells_;
};

}  // namespace velmora
