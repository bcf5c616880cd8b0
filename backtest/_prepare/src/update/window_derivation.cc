#include "update/window_derivation.h"

#include <algorithm>
#include <map>
#include <set>

#include "builder/update_basis.h"
#include "update/row_join.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest::update {

namespace {

// The sources each base matrix is derived from: a column that one of them gained may change the matrix's
// stored rows in that column.
const std::vector<std::pair<std::string, std::vector<std::string>>> DERIVED_FROM = {
    {"industry_matrix", {"rq_industry_exposure_new"}},
    {"close_price", {"Close"}},
    {"open_price", {"Open"}},
    {"close_price_valid", {"Close"}},
    {"prev_close", {"Close"}},
    {"buy_price", {"tick_vwap_price_935_1005"}},
    {"sell_price", {"tick_vwap_price_925_1000"}},
    {"rq_get_split", {"split_coefficient_to", "Close"}},
    {"rq_get_dividend", {"rq_get_dividend", "Close"}},
    {"can_buy_stock", {"tick_vwap_price_935_1005", "limit_up", "rq_is_suspended"}},
    {"cant_sell_stock", {"tick_vwap_price_925_1000", "limit_down", "rq_is_suspended"}},
    {"forward_return_rank_cache", {"Open"}},
};

bool is_optional(const std::string& name) {
  return std::find(OPTIONAL_FACTOR_NAMES.begin(), OPTIONAL_FACTOR_NAMES.end(), name) != OPTIONAL_FACTOR_NAMES.end();
}

WideMatrix part(const MatrixMap& parts, const std::string& name) {
  const WideMatrix* found = parts.find(name);
  return found ? *found : WideMatrix();
}

// The labels of `labels` that `keep` holds, in order.
Labels labels_within(const Labels& labels, const std::set<std::string>& keep) {
  std::vector<std::string> kept;
  for (const auto& label : labels)
    if (keep.count(label)) kept.push_back(label);
  return Labels(std::move(kept));
}

// One source of the updated range as `cut` shapes it from its two parts, or its placeholder: a build puts
// the close's labels with NaN cells in place of an optional factor without data.
using Cut = std::function<WideMatrix(const WideMatrix& kept, const WideMatrix& reread)>;
MatrixMap sources_of(const SplitSources& split, const std::set<std::string>& placeholders, const Cut& cut) {
  MatrixMap sources;
  for (const auto& name : REQUIRED_FACTOR_NAMES) sources.set(name, cut(part(split.kept, name), part(split.reread, name)));
  for (const auto& name : OPTIONAL_FACTOR_NAMES) {
    sources.set(name, placeholders.count(name) ? GroupPreparedDataBuilder::_empty_like(sources.at("Close"))
                                               : cut(part(split.kept, name), part(split.reread, name)));
  }
  return sources;
}

}  // namespace

std::optional<WindowDerivation> derive_window(const MatrixMap& stored, const SplitSources& split,
                                              const std::string& from) {
  std::map<std::string, std::set<std::string>> gained_by;
  std::set<std::string> placeholders;
  for (const auto& name : BUILD_INPUT_NAMES) {
    const WideMatrix kept = part(split.kept, name), reread = part(split.reread, name);
    const WideMatrix* old = stored.find(name);
    if (is_optional(name)) {
      const bool has_data = kept.has_data() || builder::has_value(reread);
      if (has_data != (old != nullptr)) return std::nullopt;
      if (!has_data) {
        placeholders.insert(name);
        gained_by[name] = gained_by["Close"];  // its columns are the close's
        continue;
      }
    }
    const Labels columns = joined_columns(kept, reread);
    const Labels old_columns = old ? old->column_labels() : Labels();
    for (const auto& column : old_columns)
      if (!columns.position(column)) return std::nullopt;
    for (const auto& column : columns)
      if (!old_columns.position(column)) gained_by[name].insert(column);
  }
  std::set<std::string> gained;
  for (const auto& [name, columns] : gained_by) gained.insert(columns.begin(), columns.end());

  const WideMatrix kept_close = part(split.kept, "Close"), kept_open = part(split.kept, "Open");
  const WideMatrix reread_close = part(split.reread, "Close");
  const WideMatrix* stored_close = stored.find("Close");
  if (!kept_close.has_data() || !stored_close || kept_open.rows() < 2) return std::nullopt;
  // Rows before it keep their last close date (the dividend cut) and their next two opens (the rank).
  std::string recompute_from = std::min({from, *stored_close->max_row_label(),
                                         *(reread_close.has_data() ? reread_close : kept_close).max_row_label(),
                                         kept_open.row_labels()[kept_open.rows() - 2]});
  const auto& close_dates = kept_close.row_labels().names();
  auto context = std::lower_bound(close_dates.begin(), close_dates.end(), recompute_from);
  if (context == close_dates.begin()) return std::nullopt;  // no close row before it for the previous close
  const std::string context_from = *(context - 1);

  WindowDerivation window;
  window.recompute_from = recompute_from;
  for (const auto& [key, sources] : DERIVED_FROM) {
    std::set<std::string> columns;
    for (const auto& source : sources) columns.insert(gained_by[source].begin(), gained_by[source].end());
    window.changed_columns.set(key, Labels(std::vector<std::string>(columns.begin(), columns.end())));
  }
  window.tail_sources = sources_of(split, placeholders, [&](const WideMatrix& kept, const WideMatrix& reread) {
    if (!kept.has_data() && !reread.has_data()) return WideMatrix();
    return join_over(rows_from(kept, context_from), reread, joined_columns(kept, reread));
  });
  window.tail = GroupPreparedDataBuilder::_build_from_matrices(window.tail_sources);
  if (!gained.empty()) {
    const MatrixMap changed_sources =
        sources_of(split, placeholders, [&](const WideMatrix& kept, const WideMatrix& reread) {
          if (!kept.has_data() && !reread.has_data()) return WideMatrix();
          return join_over(kept, reread, labels_within(joined_columns(kept, reread), gained));
        });
    window.changed = GroupPreparedDataBuilder::_build_from_matrices(changed_sources);
  }
  return window;
}

}  // namespace velmora::backtest::update
