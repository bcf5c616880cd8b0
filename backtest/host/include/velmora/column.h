#pragma once

// One typed column of a QueryTable. Immutable: the cells live in buffers held by shared pointers, so copies
// of a column, and of the tables that hold it, share the cells and cost O(1).
//
// Kinds and their storage:
//   float64   doubles; a missing cell is marked in the validity mask and holds NaN in the value buffer, so
//             the value buffer can be used directly as "number or NaN";
//   int64     64-bit integers; a missing cell is marked in the validity mask (its slot holds 0);
//   text      dictionary-encoded: one int32 code per row into a table of distinct texts, -1 for missing;
//   datetime  microseconds since 1970-01-01T00:00:00 (no zone); missing as for int64;
//   variant   one Cell per row, used only where a column really mixes kinds (a number beside a text).
// A validity mask is one byte per row (1 = present); an empty mask means every cell is present.
//
// Work that depends only on a cell's content (parsing a text as a number or a date, cutting an identifier)
// should run once per distinct value: `encode()` gives every column as codes into its distinct values, and
// for a text column this is its own dictionary, without copying the codes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velmora/host_export.h"

namespace velmora {

// A point in time without zone, in whole microseconds since 1970-01-01T00:00:00.
struct DateTime {
  std::int64_t micros = 0;
  friend bool operator==(DateTime a, DateTime b) = default;
};

// One cell of any kind; monostate is the missing cell.
using Cell = std::variant<std::monostate, double, std::int64_t, std::string, DateTime>;

enum class ColumnType : std::uint8_t { float64, int64, text, datetime, variant };

// A column's values as codes into its distinct present values. Code -1 marks a missing cell. The distinct
// values are listed in order of first appearance for computed encodings, and in dictionary order for a
// text column (whose dictionary may hold texts that no row uses).
struct EncodedColumn {
  std::shared_ptr<const std::vector<std::int32_t>> codes;
  std::vector<Cell> distinct;
};

class VELMORA_HOST_EXPORT Column {
 public:
  // An empty float64 column.
  Column();

  // REQUIRES: `valid` is empty or has one entry per value.
  static Column float64(std::vector<double> values, std::vector<std::uint8_t> valid = {});
  static Column int64(std::vector<std::int64_t> values, std::vector<std::uint8_t> valid = {});
  static Column datetime(std::vector<std::int64_t> micros, std::vector<std::uint8_t> valid = {});
  // REQUIRES: every code is -1 or a position in `dictionary`.
  static Column text(std::vector<std::int32_t> codes, std::vector<std::string> dictionary);
  // The same over codes held elsewhere. REQUIRES: they do not change while any column holds them.
  static Column text(std::shared_ptr<const std::vector<std::int32_t>> codes, std::vector<std::string> dictionary);
  static Column variant(std::vector<Cell> cells);

  ColumnType type() const { return type_; }
  std::size_t size() const { return size_; }

  bool is_missing(std::size_t row) const;
  // The cell at `row`, of the column's kind (slow path: one cell at a time).
  Cell cell(std::size_t row) const;

  // Raw access. Each REQUIRES the matching type().
  std::span<const double> float64_values() const;
  std::span<const std::int64_t> int64_values() const;  // int64 and datetime
  std::span<const std::int32_t> text_codes() const;
  const std::vector<std::string>& dictionary() const;
  std::span<const Cell> cells() const;
  // One byte per row (1 = present), or empty when every cell is present. Float64, int64 and datetime only.
  std::span<const std::uint8_t> validity() const;

  // Codes into the distinct present values (see EncodedColumn).
  EncodedColumn encode() const;

  // Numeric coercion of every cell: a number stays (an integer becomes the nearest double), a text that
  // reads as a number becomes it, everything else (other texts, date-times, missing cells) becomes NaN.
  // A float64 column answers its own buffer; texts are parsed once per dictionary entry.
  std::shared_ptr<const std::vector<double>> numeric() const;

  // The rows at `positions`, in that order (positions may repeat). Text columns keep their dictionary.
  Column take(std::span<const std::size_t> positions) const;

  // The rows of every part, one part after the other; text parts get one merged dictionary, in order of
  // first appearance. REQUIRES: every part is of one kind.
  static Column concat(std::span<const Column> parts);

 private:
  ColumnType type_ = ColumnType::float64;
  std::size_t size_ = 0;
  std::shared_ptr<const std::vector<double>> doubles_;
  std::shared_ptr<const std::vector<std::int64_t>> integers_;
  std::shared_ptr<const std::vector<std::int32_t>> codes_;
  std::shared_ptr<const std::vector<std::string>> dictionary_;
  std::shared_ptr<const std::vector<Cell>> cells_;
  std::shared_ptr<const std::vector<std::uint8_t>> valid_;
};

// The number a text reads as: optional surrounding white space, an optional sign, then a decimal or
// exponent form, "inf", "infinity" or "nan" (any case); nothing for every other text.
VELMORA_HOST_EXPORT std::optional<double> parse_number(std::string_view text);

}  // namespace velmora
