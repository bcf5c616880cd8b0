// Reading factor matrices from the factor service: one factor per query, or a batch with per-factor
// fallbacks, and the placeholders that stand in for a factor without data.

#include "vocabulary/argument_kinds.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/factor_service.h"
#include "velmora/interruption.h"
#include "velmora/query_table.h"

namespace velmora::backtest {

namespace {

bool has_rows(const WideMatrix* matrix) { return matrix != nullptr && matrix->has_data(); }

}  // namespace

WideMatrix GroupPreparedDataBuilder::_empty_like(const WideMatrix& reference, double fill_value) {
  return WideMatrix::constant_like(reference, fill_value);
}

WideMatrix GroupPreparedDataBuilder::_read_normal_factor_matrix(const std::string& name) const {
  throw_if_interrupted();  // before each query, the long step of a build
  std::shared_ptr<FactorService> client = get_instance();
  std::optional<std::string> start = _vm_factor_date(default_start_);
  std::optional<std::string> end = _vm_factor_date(end_date_);
  std::optional<QueryTable> df = client->get_factors(FactorSelection(name), start, end);
  MatrixMap matrices = _vm_factors_to_matrices(df ? &*df : nullptr, {name});
  const WideMatrix* matrix = matrices.find(name);
  return has_rows(matrix) ? *matrix : WideMatrix();
}

MatrixMap GroupPreparedDataBuilder::_read_normal_factor_batch(const Value& names) const {
  require_list(names, "names");
  return _read_normal_factor_batch(*optional_text_list(names, "names"));
}

MatrixMap GroupPreparedDataBuilder::_read_normal_factor_batch(const std::vector<std::string>& raw_names) const {
  std::vector<std::string> names = parse_name_list(raw_names);
  if (names.empty()) return {};

  MatrixMap result;
  try {
    std::shared_ptr<FactorService> client = get_instance();
    std::optional<std::string> start = _vm_factor_date(default_start_);
    std::optional<std::string> end = _vm_factor_date(end_date_);
    for (const auto& name : names) result.set(name, WideMatrix());
    // Each piece is converted as it arrives and then dropped, so the whole answer is never held at once.
    client->get_factors_by_factor(names, start, end, [&](QueryTable piece) {
      MatrixMap converted = _vm_factors_to_matrices(&piece, names);
      for (const auto& [name, matrix] : converted)
        if (matrix.has_data()) result.set(name, matrix);
    });
  } catch (...) {
    // A failed batch is not an error of the build: every factor is read on its own below.
    result = MatrixMap();
    for (const auto& name : names) result.set(name, WideMatrix());
  }

  std::vector<std::string> missing;
  for (const auto& name : names) {
    if (!has_rows(result.find(name))) missing.push_back(name);
  }
  for (const auto& name : missing) result.set(name, _read_normal_factor_matrix(name));
  return result;
}

WideMatrix GroupPreparedDataBuilder::_batch_or_read(const MatrixMap& batch, const std::string& name) const {
  const WideMatrix* matrix = batch.find(name);
  if (has_rows(matrix)) return matrix->sort_index();
  return _read_normal_factor_matrix(name);
}

WideMatrix GroupPreparedDataBuilder::_read_or_empty(const std::string& name, const WideMatrix& reference,
                                                    const MatrixMap* batch) const {
  if (batch == nullptr) {
    WideMatrix matrix = _read_normal_factor_matrix(name);
    return matrix.has_data() ? matrix : _empty_like(reference);
  }
  const WideMatrix* matrix = batch->find(name);
  return has_rows(matrix) ? matrix->sort_index() : _empty_like(reference);
}

}  // namespace velmora::backtest
