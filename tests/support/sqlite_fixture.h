#pragma once

// Builds a factor database file of the embedded service's schema, filled with the given rows:
//
//   CREATE TABLE factor_values (factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value);
//   CREATE INDEX factor_values_factor_date ON factor_values(factor, date);
//   CREATE TABLE index_daily (<index columns>);
//
// Cells are stored with their own kinds (a text stays TEXT, even "12.5"; integers INTEGER; doubles REAL;
// missing NULL). Rows are inserted in the order given, so insertion order decides between duplicates.

#include <filesystem>
#include <string>
#include <vector>

#include "velmora/column.h"

namespace velmora::testing {

struct FactorRow {
  std::string factor;
  Cell order_book_id;
  Cell date;
  Cell value;
};

struct IndexDailyRows {
  // The columns of index_daily; the first two are normally order_book_id and date.
  std::vector<std::string> columns = {"order_book_id", "date", "close", "daily_return"};
  std::vector<std::vector<Cell>> rows;
};

// Creates `path` (replacing nothing: REQUIRES it does not exist) with both tables.
void write_factor_database(const std::filesystem::path& path, const std::vector<FactorRow>& factor_rows,
                           const IndexDailyRows& index_rows = {});

// Runs `sql` on the database at `path` (for tests that alter a database); `create` makes a new file.
void execute_sql(const std::filesystem::path& path, const std::string& sql, bool create = false);

// Every row `sql` answers on the database at `path`, each cell with its stored kind (NULL missing, INTEGER
// int64, REAL double, TEXT and BLOB text).
std::vector<std::vector<Cell>> query_rows(const std::filesystem::path& path, const std::string& sql);

}  // namespace velmora::testing
