#pragma once

// Small matrices written out by hand for tests: rows of cells with their labels.

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/backtest/wide_matrix.h"

namespace velmora::testing {

inline backtest::WideMatrix matrix(std::vector<std::string> rows, std::vector<std::string> columns,
                                   std::vector<std::vector<double>> cells) {
  std::vector<double> flat;
  for (const auto& row : cells) flat.insert(flat.end(), row.begin(), row.end());
  return backtest::WideMatrix::from_grid(std::move(flat), backtest::Labels(std::move(rows)),
                                         backtest::Labels(std::move(columns)));
}

// The cells as rows of numbers (bool as 1/0).
inline std::vector<std::vector<double>> cells_of(const backtest::WideMatrix& m) {
  std::vector<std::vector<double>> out(m.rows(), std::vector<double>(m.cols()));
  for (std::size_t r = 0; r < m.rows(); ++r)
    for (std::size_t c = 0; c < m.cols(); ++c) out[r][c] = m.value(r, c);
  return out;
}

// Equality of numbers where NaN equals NaN.
inline bool same_cells(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t r = 0; r < a.size(); ++r) {
    if (a[r].size() != b[r].size()) return false;
    for (std::size_t c = 0; c < a[r].size(); ++c) {
      bool both_nan = std::isnan(a[r][c]) && std::isnan(b[r][c]);
      if (!both_nan && a[r][c] != b[r][c]) return false;
    }
  }
  return true;
}

#define EXPECT_CELLS(matrix_expr, ...)                                                         \
  EXPECT_TRUE(::velmora::testing::same_cells(::velmora::testing::cells_of(matrix_expr),      \
                                             std::vector<std::vector<double>> __VA_ARGS__))  \
      << "cells differ"

#define EXPECT_LABELS(matrix_expr, rows_expr, cols_expr)                                     \
  do {                                                                                       \
    EXPECT_EQ((matrix_expr).row_labels().names(), std::vector<std::string> rows_expr);      \
    EXPECT_EQ((matrix_expr).column_labels().names(), std::vector<std::string> cols_expr);   \
  } while (0)

}  // namespace velmora::testing
