#pragma once

// What an update derives again, and over which cells.
//
// The base matrices are cell-wise functions of the sources over the union of their labels, with three
// exceptions: the previous close looks one close row back, the forward-return rank two open rows ahead
// (and ranks across a row), and the corporate-action matrices are cut at the first and last close dates.
// So when the stored rows before the re-read start stay as they were and no source loses a column, a row
// before `recompute_from` keeps its stored cells in every column whose presence in the sources did not
// change. The update then derives
//  - every column of the rows from `recompute_from` on, from the sources' rows from one close row earlier
//    on (`tail`), and
//  - every row of the columns that some source gained (`changed`), over those columns alone,
// and takes every other cell from the store.

#include <optional>
#include <string>

#include "velmora/backtest/builder.h"

namespace velmora::backtest::update {

// The sources of the updated range in two parts, factor name → matrix: the stored rows before the re-read
// start, and the re-read rows. Optional factors without data in the store's range are absent from `kept`.
struct SplitSources {
  MatrixMap kept;
  MatrixMap reread;
};

struct WindowDerivation {
  std::string recompute_from;  // first row label derived again in every column
  // Base matrix key → the columns that a source it is derived from gained, ascending.
  OrderedMap<Labels> changed_columns;
  // The build inputs from one close row before `recompute_from` on (over all columns), and the base
  // matrices derived from them: their rows from `recompute_from` on are the new ones.
  MatrixMap tail_sources;
  MatrixMap tail;
  // The base matrices over every changed column (of any key) and every row; empty without changed columns.
  MatrixMap changed;
};

// The derivation of the updated range from the stored sources `stored` (as the store's build read them) and
// `split` (re-read from `from` on). Nothing when a stored row's cells may change for another reason than a
// gained column: a source lost a column, an optional factor gained or lost its data altogether, or the
// stored close or open rows are too few to bound the rows derived again; the update then derives the whole
// range.
std::optional<WindowDerivation> derive_window(const MatrixMap& stored, const SplitSources& split,
                                              const std::string& from);

}  // namespace velmora::backtest::update
