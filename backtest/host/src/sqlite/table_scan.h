#pragma once

// Reading many factors in one pass over factor_values in storage order. A read through the (factor, date)
// index costs a seek into the table for every row; where a database was filled day by day, the rows of one
// factor lie scattered over the whole file, so reading a factor touches nearly every page. When a request
// selects a large share of the table, reading every row in rowid order and sorting the selection into the
// index read's order is far cheaper, and gives the same answer.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sqlite/sqlite_statements.h"
#include "sqlite/zero_codes.h"
#include "velmora/query_table.h"

namespace velmora::sqlite_io {

// What the declaration of factor_values lets a scan promise.
struct TableTraits {
  // The factor column has text affinity, so every stored factor that equals a requested name is a text.
  bool text_factors = false;
  // No collation is declared, so rows order and compare by their bytes, as a scan sorts them.
  bool byte_order = false;
};
TableTraits table_traits(sqlite3* db, const std::filesystem::path& path);

// The share of the table's rows that a request selects, estimated from rows spread evenly over the rowid
// range, with the expected number of rows of each name. Nothing when the table is empty, or unless `any_size`
// when it is too small for a scan to pay.
struct Selection {
  double share = 0;
  std::vector<double> rows_of_name;  // in the order of the names given
  std::int64_t first_rowid = 0;
  std::int64_t last_rowid = 0;
};
std::optional<Selection> estimate_selection(sqlite3* db, const std::filesystem::path& path,
                                            const std::vector<std::string>& names, const DateRange& range,
                                            bool any_size = false);

// Reads `names` (distinct, ascending by bytes) over `range` by scanning the rowid range in `parts` pieces at
// once, on `db` and on connections taken from (or added to) `readers`. Then hands each name that has rows
// to `consume`, in the order of `names`, as a table (order_book_id, date, value) in the order the index read
// gives: by date, then rowid. with_factor_column completes a piece into the index read's answer; it is left
// to the caller so that pieces held for a while do not each carry a column of one repeated name. Returns
// false, having handed over nothing, when a scan cannot promise the index read's answer: a date or factor
// that is not text, or a column that mixes texts with other kinds.
bool scan_factors(sqlite3* db, std::vector<Database>& readers, const std::filesystem::path& path, std::size_t parts,
                  const std::vector<std::string>& names, const DateRange& range, const Selection& selection,
                  const std::function<void(const std::string& name, QueryTable piece)>& consume);

// `piece` of the factor `name` with the factor column, as the index read answers it; the column's codes come
// from `zeros`.
QueryTable with_factor_column(const QueryTable& piece, const std::string& name, ZeroCodes& zeros);

// The pieces of several factors as one table, each column of one kind as a single read would choose it
// (integers beside doubles become doubles); nothing when a column would mix texts with other kinds.
std::optional<QueryTable> join_pieces(std::vector<QueryTable> pieces);

}  // namespace velmora::sqlite_io
