// Joining the columns of several partial answers (a query read in date ranges on parallel connections).

#include <string_view>
#include <unordered_map>

#include "velmora/column.h"
#include "velmora/page_advice.h"

namespace velmora {

namespace {

// The parts' validity masks joined; empty when every cell of every part is present.
std::vector<std::uint8_t> joined_validity(std::span<const Column> parts, std::size_t total) {
  bool any_missing = false;
  for (const Column& part : parts) any_missing |= !part.validity().empty();
  std::vector<std::uint8_t> valid;
  if (!any_missing) return valid;
  reserve_advised(valid, total);
  for (const Column& part : parts) {
    auto mask = part.validity();
    if (mask.empty()) valid.insert(valid.end(), part.size(), std::uint8_t{1});
    else valid.insert(valid.end(), mask.begin(), mask.end());
  }
  return valid;
}

Column joined_text(std::span<const Column> parts, std::size_t total) {
  std::vector<std::string> dictionary;
  std::unordered_map<std::string, std::int32_t> code_of;
  std::vector<std::int32_t> codes;
  reserve_advised(codes, total);
  for (const Column& part : parts) {
    // Each part's dictionary entry maps to one code of the merged dictionary.
    std::vector<std::int32_t> remap;
    remap.reserve(part.dictionary().size());
    for (const std::string& text : part.dictionary()) {
      auto [found, added] = code_of.emplace(text, static_cast<std::int32_t>(dictionary.size()));
      if (added) dictionary.push_back(text);
      remap.push_back(found->second);
    }
    for (std::int32_t code : part.text_codes()) codes.push_back(code < 0 ? -1 : remap[static_cast<std::size_t>(code)]);
  }
  return Column::text(std::move(codes), std::move(dictionary));
}

}  // namespace

Column Column::concat(std::span<const Column> parts) {
  if (parts.empty()) return Column();
  if (parts.size() == 1) return parts.front();
  std::size_t total = 0;
  for (const Column& part : parts) total += part.size();
  switch (parts.front().type()) {
    case ColumnType::float64: {
      std::vector<double> values;
      reserve_advised(values, total);
      for (const Column& part : parts) values.insert(values.end(), part.float64_values().begin(), part.float64_values().end());
      return float64(std::move(values), joined_validity(parts, total));
    }
    case ColumnType::int64:
    case ColumnType::datetime: {
      std::vector<std::int64_t> values;
      reserve_advised(values, total);
      for (const Column& part : parts) values.insert(values.end(), part.int64_values().begin(), part.int64_values().end());
      auto valid = joined_validity(parts, total);
      return parts.front().type() == ColumnType::int64 ? int64(std::move(values), std::move(valid))
                                                       : datetime(std::move(values), std::move(valid));
    }
    case ColumnType::text:
      return joined_text(parts, total);
    case ColumnType::variant: {
      std::vector<Cell> cells;
      cells.reserve(total);
      for (const Column& part : parts) cells.insert(cells.end(), part.cells().begin(), part.cells().end());
      return variant(std::move(cells));
    }
  }
  return Column();
}

}  // namespace velmora
