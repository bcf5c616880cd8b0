#pragma once

// The factor service: the host's query client for factor values and index quotes. The builder reaches it
// through get_instance(), afresh at the start of every read, so a host installs one service for the
// process with set_instance() (or, in tests, for one scope with ScopedFactorService).
//
// Both queries answer a QueryTable, or nothing when there is no data; a table without rows means the same.
// get_factors answers columns `order_book_id` and `date` and either the long layout (`factor` or
// `factor_name`, and `value`: one row per instrument, date and factor) or the wide layout (one column per
// requested factor). get_index_daily answers `order_book_id`, `date` and return or close columns.
//
// Errors of a service pass to its caller unchanged.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "velmora/host_export.h"
#include "velmora/query_table.h"

namespace velmora {

// The `factor` argument of get_factors: one name (a single-factor read) or a list of names (a batch read).
// The two are distinct requests even for a one-element list.
using FactorSelection = std::variant<std::string, std::vector<std::string>>;

class VELMORA_HOST_EXPORT FactorService {
 public:
  virtual ~FactorService();

  // The values of the selected factors over [start_date, end_date]; an absent bound is open. Bounds are
  // "YYYY-MM-DD" (the builder's form) or "YYYYMMDD".
  virtual std::optional<QueryTable> get_factors(const FactorSelection& factor,
                                                const std::optional<std::string>& start_date,
                                                const std::optional<std::string>& end_date) = 0;

  // The answer of get_factors(names, start_date, end_date), handed to `consume` in pieces, in order, so
  // that a caller can turn each piece into its result and drop it before the next arrives. Every row of one
  // factor is in one piece; a piece's column kinds are chosen over its own rows. No piece when there is no
  // data. The default hands over the whole answer as one piece; a service that can do better answers
  // factor by factor. Errors pass to the caller, also after some pieces were handed over.
  virtual void get_factors_by_factor(const std::vector<std::string>& names,
                                     const std::optional<std::string>& start_date,
                                     const std::optional<std::string>& end_date,
                                     const std::function<void(QueryTable piece)>& consume);

  // Announces that single-factor reads of `names` over [start_date, end_date] follow, so that a service may
  // read them all in one pass and answer each of those reads from what it read ahead, once. The answers
  // stay those the reads would give on their own. forget_read_ahead() drops whatever is still held. Both do
  // nothing by default.
  virtual void read_ahead(const std::vector<std::string>& names, const std::optional<std::string>& start_date,
                          const std::optional<std::string>& end_date);
  virtual void forget_read_ahead();

  // The daily rows of the given index codes over [start_date, end_date], all indexes in one table.
  virtual std::optional<QueryTable> get_index_daily(const std::vector<std::string>& order_book_ids,
                                                    const std::optional<std::string>& start_date,
                                                    const std::optional<std::string>& end_date) = 0;
};

// The service the host installed. Throws VelmoraError when none is installed.
VELMORA_HOST_EXPORT std::shared_ptr<FactorService> get_instance();
// Installs `service` for the whole process (null uninstalls); returns the one it replaces. Thread-safe;
// a read that already holds the previous service finishes with it.
VELMORA_HOST_EXPORT std::shared_ptr<FactorService> set_instance(std::shared_ptr<FactorService> service);

// Installs a service for the lifetime of this object and restores the previous one afterwards.
class VELMORA_HOST_EXPORT ScopedFactorService {
 public:
  explicit ScopedFactorService(std::shared_ptr<FactorService> service);
  ~ScopedFactorService();
  ScopedFactorService(const ScopedFactorService&) = delete;
  ScopedFactorService& operator=(const ScopedFactorService&) = delete;

 private:
  std::shared_ptr<FactorService> previous_;
};

}  // namespace velmora
