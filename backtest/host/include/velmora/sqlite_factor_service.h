#pragma once

// The embedded factor service: answers from a SQLite database file of this schema
//
//   CREATE TABLE factor_values (factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value);
//   CREATE INDEX factor_values_factor_date ON factor_values(factor, date);
//   CREATE TABLE index_daily (order_book_id TEXT, date TEXT, close, daily_return);
//
// with dates stored as "YYYY-MM-DD" texts. index_daily may carry other return columns (return, returns,
// pct_change, change_rate) instead of or beside close and daily_return; every column is answered.
//
// get_factors answers the long layout (`order_book_id`, `date`, `factor`, `value`) of the selected factors
// within the inclusive date range, ordered by factor, then date, then insertion, so that of two stored rows
// for one instrument and date the later one comes last. Cells keep their stored kinds: TEXT stays text,
// INTEGER and REAL become numbers, NULL is missing. A query without rows answers nothing.
//
// The file is opened read-only and never created. The constructor throws VelmoraError naming the file when
// it does not exist or is not a database; a query throws VelmoraError naming the file when its table is
// missing, and ValueError for a date bound that is neither "YYYY-MM-DD" nor "YYYYMMDD".
//
// How a query reads, which changes its speed but never its answer:
//   - A request that selects a large share of the table (a batch of most factors over most dates) is read
//     by one pass over the whole table in storage order, split into rowid ranges read at the same time, and
//     its rows are then put into the index's order. Where a database was filled day by day, the rows of one
//     factor lie scattered over the file and a read through the index seeks once per row; the pass reads
//     every page once. The share is estimated from a few thousand rows spread over the table. `table_scan`
//     forces the choice either way. A table declared with a collation, or without text affinity for its
//     factor column, is always read through the index, as is a request whose rows turn out to hold a date
//     that is not a text or a column that mixes texts with numbers.
//   - A single-factor read within a closed date range is split into date ranges read at the same time and
//     joined in date order.
//   - read_ahead of such a share reads every announced factor in that one pass and holds them until each
//     is asked for once (by a single-factor read of the same range) or forget_read_ahead() is called. The
//     answers are those of the moment of the read ahead.
//   - get_factors_by_factor hands over each factor as soon as it is complete, so a caller never holds the
//     whole answer of a batch.
// Parallel reads use separate read-only connections (`read_threads` of them; 0 = one per core).
//
// Thread-safe: queries on one service are serialised.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/factor_service.h"
#include "velmora/host_export.h"

namespace velmora {

namespace sqlite_io {
struct DateRange;
struct TableTraits;
}

// Whether a request is read by a pass over the whole table: when it selects a large share of it, or always
// (where the table allows it), or never.
enum class TableScan { automatic, always, never };

class VELMORA_HOST_EXPORT SqliteFactorService : public FactorService {
 public:
  explicit SqliteFactorService(std::filesystem::path database, std::size_t read_threads = 0,
                               TableScan table_scan = TableScan::automatic);
  ~SqliteFactorService() override;
  SqliteFactorService(const SqliteFactorService&) = delete;
  SqliteFactorService& operator=(const SqliteFactorService&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start_date,
                                        const std::optional<std::string>& end_date) override;
  void get_factors_by_factor(const std::vector<std::string>& names, const std::optional<std::string>& start_date,
                             const std::optional<std::string>& end_date,
                             const std::function<void(QueryTable piece)>& consume) override;
  void read_ahead(const std::vector<std::string>& names, const std::optional<std::string>& start_date,
                  const std::optional<std::string>& end_date) override;
  void forget_read_ahead() override;
  std::optional<QueryTable> get_index_daily(const std::vector<std::string>& order_book_ids,
                                            const std::optional<std::string>& start_date,
                                            const std::optional<std::string>& end_date) override;

 private:
  struct Connection;
  struct ScanPlan;
  struct ReadAhead;

  // The plan of a pass over the table, when the request should be read by one. REQUIRES: the lock.
  std::optional<ScanPlan> scan_plan(const std::vector<std::string>& names, const sqlite_io::DateRange& range,
                                    const sqlite_io::TableTraits& traits);
  // The request read through the (factor, date) index. REQUIRES: the lock.
  std::optional<QueryTable> index_read(const std::vector<std::string>& names, const sqlite_io::DateRange& range);

  std::filesystem::path path_;
  std::size_t read_threads_;
  TableScan table_scan_;
  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<ReadAhead> read_ahead_;
};

}  // namespace velmora
