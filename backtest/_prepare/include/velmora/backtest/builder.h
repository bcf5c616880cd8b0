#pragma once

// GroupPreparedDataBuilder: reads a date range of raw factor data and benchmark quotes from the factor
// service, turns them into date × instrument matrices, derives the twelve base matrices the backtester
// consumes, adds one membership mask per index and one return series per benchmark, and returns it all as a
// Payload.
//
//   GroupPreparedDataBuilder builder("20240101", "20241231");
//   Payload full = builder.build();                   // one query per factor
//   Payload fresh = builder.build_incremental();      // one batch query, single reads where it falls short
//
// The factor service is the one installed with velmora::set_instance(), looked up afresh for every read.
// The builder holds only its dates; every build reads everything again and nothing is cached. Operations
// whose names begin with "_" are the stages of a build, public so that hosts and tests can run one stage.

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "velmora/backtest/date_series.h"
#include "velmora/backtest/ordered_map.h"
#include "velmora/backtest/payload.h"
#include "velmora/backtest/prepare_export.h"
#include "velmora/backtest/wide_matrix.h"
#include "velmora/value.h"

namespace velmora {
class QueryTable;
}

namespace velmora::backtest {

// Factor or dataset name → matrix, in insertion order.
using MatrixMap = OrderedMap<WideMatrix>;

// Everything one build reads: the ten source matrices, the membership masks, the benchmark series and the
// component names that the reads used.
struct SourceData {
  MatrixMap source;
  MatrixMap component_matrices;
  BenchmarkDict benchmark_dict;
  std::vector<std::string> component_names;
  // Why a component's read failed, by component name: the failures that _component_matrices swallowed, kept
  // so that the build's refusal of the missing masks can carry them as its cause.
  OrderedMap<std::exception_ptr> component_failures;
};

class VELMORA_PREPARE_EXPORT GroupPreparedDataBuilder {
 public:
  // Both dates must be texts in a form normalize_yyyymmdd accepts: TypeError otherwise (null included),
  // ValueError for a text that is not a date. A start after the end is accepted.
  GroupPreparedDataBuilder(const Value& start_date, const Value& end_date);

  const std::string& default_start() const { return default_start_; }
  const std::string& end_date() const { return end_date_; }
  const std::string& _ddb_start() const { return ddb_start_; }
  const std::string& _ddb_end() const { return ddb_end_; }

  // A full build: one query per factor. Meta carries "created_at".
  Payload build() const;
  // An incremental build: one batch query for everything, single reads where it falls short. Meta carries
  // "updated_at".
  Payload build_incremental() const;

  // --- Date forms ---

  // The backtest-engine form: a text of exactly seven digits gets a "0" appended; any other text is
  // returned unchanged; a number takes its text form first; null gives nothing.
  static std::optional<std::string> _normalize_ddb_backtest_date(const Value& date_value);
  // "YYYY-MM-DD" of a date text (normalised first), nothing for null. TypeError for a value that is neither
  // text nor null, ValueError for a text that is not a calendar date.
  static std::optional<std::string> _vm_factor_date(const Value& date_value);

  // --- Source reading ---

  // One matrix per distinct name of `names` (first-occurrence order) from one factor-service answer; an
  // absent answer (null) or a name without rows gives the empty matrix. KeyError when the answer lacks the
  // order_book_id or date column.
  static MatrixMap _vm_factors_to_matrices(const QueryTable* df, const std::vector<std::string>& names);

  // The reference's labels with every cell `fill_value`.
  static WideMatrix _empty_like(const WideMatrix& reference, double fill_value = NaN);

  // One factor by its own query; the empty matrix when it has no data. Errors pass through.
  WideMatrix _read_normal_factor_matrix(const std::string& name) const;
  // All names by one query; any failure of that query is swallowed and every name without data is then
  // read on its own (errors of those reads pass through). `names` goes through parse_name_list. The
  // dynamic form takes only a list of texts: any other kind (null, a single text, a number, a map, a list
  // holding a non-text) throws TypeError before any query.
  MatrixMap _read_normal_factor_batch(const Value& names) const;
  MatrixMap _read_normal_factor_batch(const std::vector<std::string>& names) const;
  // The batch's matrix for `name` (rows sorted) when it has rows, else a single read.
  WideMatrix _batch_or_read(const MatrixMap& batch, const std::string& name) const;
  // Without a batch: a single read, or the reference-shaped NaN placeholder when it has no data. With a
  // batch: the batch's matrix (rows sorted) when it has rows, else the placeholder; no single read.
  WideMatrix _read_or_empty(const std::string& name, const WideMatrix& reference,
                            const MatrixMap* batch = nullptr) const;
  // One 1.0 / NaN membership mask per component that can be read and has data; the others are left out.
  // A failed read is swallowed; when `failures` is given, the failure is recorded there under the name.
  MatrixMap _component_matrices(const std::vector<std::string>& component_names, const MatrixMap* batch = nullptr,
                                OrderedMap<std::exception_ptr>* failures = nullptr) const;

  // The daily returns of one benchmark from an index-daily answer. KeyError when the answer is empty or
  // lacks the date or the return columns.
  static DateSeries _format_benchmark_daily_return(const QueryTable* df, const std::string& benchmark_name,
                                                   const std::string& index_code);
  // One series per entry of BENCHMARK_INDEX_CODES, from one query.
  BenchmarkDict _read_benchmark_dict() const;

  // --- Assembly ---

  SourceData _read_source_data(bool incremental) const;
  // The twelve base matrices from the ten source matrices. KeyError naming the first absent source key.
  static MatrixMap _build_from_matrices(const MatrixMap& source);
  Payload _assemble_payload(const MatrixMap& data, const MatrixMap& component_matrices,
                            const BenchmarkDict& benchmark_dict, const std::vector<std::string>& component_names,
                            const std::string& meta_time_key) const;
  Payload _build_payload(bool incremental, const std::string& meta_time_key) const;

 private:
  std::string default_start_;
  std::string end_date_;
  std::string ddb_start_;
  std::string ddb_end_;
};

}  // namespace velmora::backtest
