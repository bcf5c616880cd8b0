#include "velmora/in_memory_factor_service.h"

#include <algorithm>
#include <map>
#include <unordered_set>

#include "date_keys.h"
#include "velmora/column_builder.h"

namespace velmora {

namespace {

// For each distinct value of an encoded column, whether rows holding it are kept by `keep`.
template <typename Keep>
std::vector<std::uint8_t> keep_by_value(const EncodedColumn& encoded, Keep keep) {
  std::vector<std::uint8_t> kept(encoded.distinct.size());
  for (std::size_t i = 0; i < kept.size(); ++i) kept[i] = keep(encoded.distinct[i]) ? 1 : 0;
  return kept;
}

// True when a row's date lies within [start, end]; rows whose date cannot be read are always kept.
struct DateFilter {
  std::optional<std::int32_t> start;
  std::optional<std::int32_t> end;

  bool operator()(const Cell& cell) const {
    std::optional<std::int32_t> key = detail::cell_date_key(cell);
    if (!key) return true;
    return (!start || *key >= *start) && (!end || *key <= *end);
  }
};

// The rows of `table` whose `members` cell is one of `wanted` (when there is such a column) and whose date
// is in range (when there is a date column; unreadable and missing dates are kept).
std::vector<std::size_t> kept_rows(const QueryTable& table, const Column* members,
                                   const std::unordered_set<std::string>* wanted, const Column* dates,
                                   const DateFilter& in_range) {
  std::vector<std::size_t> rows;
  EncodedColumn member_codes;
  std::vector<std::uint8_t> member_kept;
  if (members) {
    member_codes = members->encode();
    member_kept = keep_by_value(member_codes, [&](const Cell& cell) {
      const auto* text = std::get_if<std::string>(&cell);
      return text && wanted->count(*text) != 0;
    });
  }
  EncodedColumn date_codes;
  std::vector<std::uint8_t> date_kept;
  if (dates) {
    date_codes = dates->encode();
    date_kept = keep_by_value(date_codes, in_range);
  }
  for (std::size_t row = 0; row < table.num_rows(); ++row) {
    if (members) {
      std::int32_t code = (*member_codes.codes)[row];
      if (code < 0 || !member_kept[static_cast<std::size_t>(code)]) continue;
    }
    if (dates) {
      std::int32_t code = (*date_codes.codes)[row];
      if (code >= 0 && !date_kept[static_cast<std::size_t>(code)]) continue;
    }
    rows.push_back(row);
  }
  return rows;
}

// One row per (order_book_id, date) in order of first appearance, one column per name that has rows.
QueryTable widen(const QueryTable& long_rows, const Column& factors, const std::vector<std::string>& names) {
  const Column& ids = long_rows.column("order_book_id");
  const Column& dates = long_rows.column("date");
  const Column& values = long_rows.column("value");
  EncodedColumn id_codes = ids.encode();
  EncodedColumn date_codes = dates.encode();

  std::map<std::pair<std::int32_t, std::int32_t>, std::size_t> row_of;
  std::vector<std::size_t> first_rows;
  std::vector<std::size_t> wide_row(long_rows.num_rows());
  for (std::size_t row = 0; row < long_rows.num_rows(); ++row) {
    auto key = std::make_pair((*id_codes.codes)[row], (*date_codes.codes)[row]);
    auto [found, inserted] = row_of.try_emplace(key, first_rows.size());
    if (inserted) first_rows.push_back(row);
    wide_row[row] = found->second;
  }

  QueryTable wide({{"order_book_id", ids.take(first_rows)}, {"date", dates.take(first_rows)}});
  for (const auto& name : names) {
    std::vector<Cell> cells(first_rows.size());
    bool any = false;
    for (std::size_t row = 0; row < long_rows.num_rows(); ++row) {
      Cell factor = factors.cell(row);
      const auto* text = std::get_if<std::string>(&factor);
      if (!text || *text != name) continue;
      cells[wide_row[row]] = values.cell(row);
      any = true;
    }
    if (!any || wide.has_column(name)) continue;
    ColumnBuilder builder;
    for (const auto& cell : cells) builder.append(cell);
    wide = wide.with_column(name, builder.finish());
  }
  return wide;
}

// The long rows of a wide table: for each factor column in order, one row per present cell.
QueryTable to_long_rows(const QueryTable& wide) {
  std::vector<std::size_t> positions;
  ColumnBuilder factors, values;
  for (const auto& [name, column] : wide.columns()) {
    if (name == "order_book_id" || name == "date") continue;
    for (std::size_t row = 0; row < wide.num_rows(); ++row) {
      if (column.is_missing(row)) continue;
      positions.push_back(row);
      factors.append_text(name);
      values.append(column.cell(row));
    }
  }
  return QueryTable({{"order_book_id", wide.column("order_book_id").take(positions)},
                     {"date", wide.column("date").take(positions)},
                     {"factor", factors.finish()},
                     {"value", values.finish()}});
}

}  // namespace

bool FactorServiceCall::is_single_factor() const {
  return operation == Operation::get_factors && std::holds_alternative<std::string>(factor);
}

bool FactorServiceCall::is_factor_list() const {
  return operation == Operation::get_factors && std::holds_alternative<std::vector<std::string>>(factor);
}

std::vector<std::string> FactorServiceCall::factor_names() const {
  if (operation != Operation::get_factors) return {};
  if (const auto* name = std::get_if<std::string>(&factor)) return {*name};
  return std::get<std::vector<std::string>>(factor);
}

InMemoryFactorService::InMemoryFactorService() = default;
InMemoryFactorService::~InMemoryFactorService() = default;

void InMemoryFactorService::set_factor_rows(QueryTable rows) {
  QueryTable long_rows = rows.has_column("value") ? std::move(rows) : to_long_rows(rows);
  std::lock_guard lock(mutex_);
  factor_rows_ = std::move(long_rows);
}

void InMemoryFactorService::set_layout(FactorLayout layout) {
  std::lock_guard lock(mutex_);
  layout_ = layout;
}

void InMemoryFactorService::set_index_rows(QueryTable rows) {
  std::lock_guard lock(mutex_);
  index_rows_ = std::move(rows);
}

void InMemoryFactorService::answer_when(CallPredicate when, std::optional<QueryTable> answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back({std::move(when), std::move(answer)});
}

void InMemoryFactorService::fail_when(CallPredicate when, std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  failures_.push_back({std::move(when), std::move(error)});
}

std::vector<FactorServiceCall> InMemoryFactorService::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void InMemoryFactorService::clear_calls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

std::optional<std::optional<QueryTable>> InMemoryFactorService::intercept(const FactorServiceCall& call) {
  calls_.push_back(call);
  for (const auto& failure : failures_) {
    if (failure.when(call)) std::rethrow_exception(failure.error);
  }
  for (const auto& answer : answers_) {
    if (answer.when(call)) return answer.answer;
  }
  return std::nullopt;
}

std::optional<QueryTable> InMemoryFactorService::get_factors(const FactorSelection& factor,
                                                             const std::optional<std::string>& start_date,
                                                             const std::optional<std::string>& end_date) {
  std::lock_guard lock(mutex_);
  FactorServiceCall call;
  call.operation = FactorServiceCall::Operation::get_factors;
  call.factor = factor;
  call.start_date = start_date;
  call.end_date = end_date;
  if (auto fixed = intercept(call)) return *fixed;

  DateFilter in_range{detail::bound_key(start_date), detail::bound_key(end_date)};
  if (factor_rows_.empty()) return std::nullopt;
  const Column* factors = factor_rows_.find("factor");
  if (!factors) factors = factor_rows_.find("factor_name");
  std::vector<std::string> names = call.factor_names();
  std::unordered_set<std::string> wanted(names.begin(), names.end());
  std::vector<std::size_t> rows = kept_rows(factor_rows_, factors, &wanted, factor_rows_.find("date"), in_range);
  if (rows.empty()) return std::nullopt;
  QueryTable answer = factor_rows_.take(rows);
  if (layout_ == FactorLayout::long_rows || !factors) return answer;
  const Column* answer_factors = answer.find("factor") ? answer.find("factor") : answer.find("factor_name");
  return widen(answer, *answer_factors, names);
}

std::optional<QueryTable> InMemoryFactorService::get_index_daily(const std::vector<std::string>& order_book_ids,
                                                                 const std::optional<std::string>& start_date,
                                                                 const std::optional<std::string>& end_date) {
  std::lock_guard lock(mutex_);
  FactorServiceCall call;
  call.operation = FactorServiceCall::Operation::get_index_daily;
  call.order_book_ids = order_book_ids;
  call.start_date = start_date;
  call.end_date = end_date;
  if (auto fixed = intercept(call)) return *fixed;

  DateFilter in_range{detail::bound_key(start_date), detail::bound_key(end_date)};
  if (index_rows_.empty()) return std::nullopt;
  std::unordered_set<std::string> wanted(order_book_ids.begin(), order_book_ids.end());
  std::vector<std::size_t> rows =
      kept_rows(index_rows_, index_rows_.find("order_book_id"), &wanted, index_rows_.find("date"), in_range);
  if (rows.empty()) return std::nullopt;
  return index_rows_.take(rows);
}

CallPredicate any_call() {
  return [](const FactorServiceCall&) { return true; };
}

CallPredicate factor_list_call() {
  return [](const FactorServiceCall& call) { return call.is_factor_list(); };
}

CallPredicate single_factor_call(std::string name) {
  return [name = std::move(name)](const FactorServiceCall& call) {
    return call.is_single_factor() && std::get<std::string>(call.factor) == name;
  };
}

CallPredicate index_daily_call() {
  return [](const FactorServiceCall& call) { return call.operation == FactorServiceCall::Operation::get_index_daily; };
}

}  // namespace velmora
