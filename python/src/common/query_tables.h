#pragma once

// Factor-service answers across the boundary: a pandas.DataFrame and the columnar QueryTable.
//
// In, column by column and never cell by cell in Python: float64 (and other float) columns are taken as they
// are, NaN marking a missing cell; integer and bool columns become int64; datetime64 columns become date-times
// (NaT missing); categorical columns of texts become dictionary-encoded text columns from their categories and
// codes; object columns of texts (None, NaN and pd.NA missing) are dictionary-encoded in one pass over the
// object pointers, a repeated object costing one pointer comparison. Object columns that mix kinds keep every
// cell's kind. Columns of equal names are all taken; the last one wins.
//
// Out: float64 stays float64; int64 stays int64 (float64 with NaN when cells are missing); texts become an
// object column of str (None missing); date-times datetime64[ns].
//
// Both need the GIL.

#include <optional>

#include <pybind11/pybind11.h>

#include "velmora/query_table.h"

namespace velmora::python {

namespace py = pybind11;

// None gives nothing. TypeError for anything that is neither None nor a DataFrame.
std::optional<QueryTable> to_query_table(py::handle answer);

py::object to_frame(const QueryTable& table);

}  // namespace velmora::python
