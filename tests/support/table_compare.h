#pragma once

// Cell-by-cell comparison of query answers, for tests that check two ways of reading give one answer.

#include <optional>
#include <string>

#include "velmora/query_table.h"

namespace velmora::testing {

// Every cell of two tables, compared by kind and value (NaN equal to NaN), column by column; the column
// kinds must match too.
void expect_same_table(const QueryTable& a, const QueryTable& b, const std::string& context = "");

// Both answers absent, or both present and the same table.
void expect_same_answer(const std::optional<QueryTable>& a, const std::optional<QueryTable>& b,
                        const std::string& context = "");

// Whether two cells hold the same value, numbers compared as numbers whatever their kind (an integer equals
// the double of its value; NaN equals NaN and a missing cell).
bool same_value(const Cell& a, const Cell& b);

}  // namespace velmora::testing
