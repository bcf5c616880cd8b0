#pragma once

// A factor service that answers from tables held in memory: the test kit's stand-in for the host's client,
// and a way for embedders to feed data they already have.
//
//   auto service = std::make_shared<InMemoryFactorService>();
//   service->set_factor_rows(QueryTable::from_rows({"order_book_id", "date", "factor", "value"}, rows));
//   ScopedFactorService installed(service);
//   ... builder reads ...
//   EXPECT_EQ(service->calls().size(), 3u);
//
// Factor data is given as long rows (`order_book_id`, `date`, `factor`, `value`), or as a wide table
// (`order_book_id`, `date` and one column per factor), which is kept as the long rows of its present
// cells, factor by factor. get_factors answers the
// rows of the selected factors whose date lies in the requested range (rows whose date cannot be read are
// always answered), either in that long layout or, when the layout is set to wide, as one row per
// (order_book_id, date) in order of first appearance with one column per selected name that has rows.
// get_index_daily answers the rows of the index table whose `order_book_id` is one of the requested codes
// (all rows when the table has no such column) and whose date lies in the range. Cells keep their kinds.
// Nothing answered (no rows) is reported as nothing.
//
// Every call is recorded, in order, with its arguments, also calls that fail. A call can be answered with
// a fixed table, or made to throw, by a predicate on the call; the first matching rule wins, and failures
// are checked before fixed answers.
//
// Thread-safe: calls and configuration are serialised by a mutex.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/factor_service.h"
#include "velmora/host_export.h"
#include "velmora/query_table.h"

namespace velmora {

enum class FactorLayout : std::uint8_t { long_rows, wide };

// One recorded call.
struct VELMORA_HOST_EXPORT FactorServiceCall {
  enum class Operation : std::uint8_t { get_factors, get_index_daily };
  Operation operation = Operation::get_factors;
  FactorSelection factor;                   // get_factors only
  std::vector<std::string> order_book_ids;  // get_index_daily only
  std::optional<std::string> start_date;
  std::optional<std::string> end_date;

  bool is_single_factor() const;  // get_factors with one name as text
  bool is_factor_list() const;    // get_factors with a list
  // The selected names (one for a single-factor call); empty for get_index_daily.
  std::vector<std::string> factor_names() const;
};

using CallPredicate = std::function<bool(const FactorServiceCall&)>;

class VELMORA_HOST_EXPORT InMemoryFactorService : public FactorService {
 public:
  InMemoryFactorService();
  ~InMemoryFactorService() override;

  // Long rows: REQUIRES columns `order_book_id`, `date`, `value` and `factor` (or `factor_name`).
  // Wide table (no `value` column): REQUIRES columns `order_book_id` and `date`; every other column is a
  // factor.
  void set_factor_rows(QueryTable rows);
  void set_layout(FactorLayout layout);
  // Rows of every index together; columns as the host's service answers them.
  void set_index_rows(QueryTable rows);

  // Calls matching `when` answer `answer` (nothing included) instead of the stored rows.
  void answer_when(CallPredicate when, std::optional<QueryTable> answer);
  // Calls matching `when` throw `error` (after being recorded).
  void fail_when(CallPredicate when, std::exception_ptr error);

  // Every call so far, in order.
  std::vector<FactorServiceCall> calls() const;
  void clear_calls();

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start_date,
                                        const std::optional<std::string>& end_date) override;
  std::optional<QueryTable> get_index_daily(const std::vector<std::string>& order_book_ids,
                                            const std::optional<std::string>& start_date,
                                            const std::optional<std::string>& end_date) override;

 private:
  struct Answer {
    CallPredicate when;
    std::optional<QueryTable> answer;
  };
  struct Failure {
    CallPredicate when;
    std::exception_ptr error;
  };

  // Records the call, then throws or returns a fixed answer when a rule matches.
  std::optional<std::optional<QueryTable>> intercept(const FactorServiceCall& call);

  mutable std::mutex mutex_;
  QueryTable factor_rows_;
  QueryTable index_rows_;
  FactorLayout layout_ = FactorLayout::long_rows;
  std::vector<Answer> answers_;
  std::vector<Failure> failures_;
  std::vector<FactorServiceCall> calls_;
};

// Predicates for the usual rules.
VELMORA_HOST_EXPORT CallPredicate any_call();
VELMORA_HOST_EXPORT CallPredicate factor_list_call();                     // every batch read
VELMORA_HOST_EXPORT CallPredicate single_factor_call(std::string name);   // single reads of `name`
VELMORA_HOST_EXPORT CallPredicate index_daily_call();

}  // namespace velmora
