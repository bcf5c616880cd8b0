#include "support/table_compare.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velmora::testing {

namespace {

bool both_nan(const Cell& p, const Cell& q) {
  return std::holds_alternative<double>(p) && std::holds_alternative<double>(q) && std::isnan(std::get<double>(p)) &&
         std::isnan(std::get<double>(q));
}

std::optional<double> number_of(const Cell& cell) {
  if (const auto* d = std::get_if<double>(&cell)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
  return std::nullopt;
}

bool is_gap(const Cell& cell) {
  if (std::holds_alternative<std::monostate>(cell)) return true;
  const auto* d = std::get_if<double>(&cell);
  return d != nullptr && std::isnan(*d);
}

}  // namespace

void expect_same_table(const QueryTable& a, const QueryTable& b, const std::string& context) {
  ASSERT_EQ(a.column_names(), b.column_names()) << context;
  ASSERT_EQ(a.num_rows(), b.num_rows()) << context;
  for (const auto& name : a.column_names()) {
    const Column& x = a.column(name);
    const Column& y = b.column(name);
    EXPECT_EQ(x.type(), y.type()) << context << " column " << name;
    std::size_t differences = 0;
    for (std::size_t row = 0; row < a.num_rows() && differences < 5; ++row) {
      Cell p = x.cell(row), q = y.cell(row);
      if (both_nan(p, q) || p == q) continue;
      ++differences;
      ADD_FAILURE() << context << " column " << name << " row " << row;
    }
  }
}

void expect_same_answer(const std::optional<QueryTable>& a, const std::optional<QueryTable>& b,
                        const std::string& context) {
  ASSERT_EQ(a.has_value(), b.has_value()) << context;
  if (a) expect_same_table(*a, *b, context);
}

bool same_value(const Cell& a, const Cell& b) {
  if (is_gap(a) || is_gap(b)) return is_gap(a) && is_gap(b);
  auto x = number_of(a), y = number_of(b);
  if (x || y) return x && y && *x == *y;
  return a == b;
}

}  // namespace velmora::testing
