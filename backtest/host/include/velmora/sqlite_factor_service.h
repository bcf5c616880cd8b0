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
// A single-factor read within a closed date range is split into date ranges read at the same time on
// separate read-only connections (`read_threads` of them; 0 = one per core, at most 4) and joined in date
// order, so the answer is the same as one connection's, only sooner.
//
// Thread-safe: queries on one service are serialised.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/factor_service.h"
#include "velmora/host_export.h"

namespace velmora {

class VELMORA_HOST_EXPORT SqliteFactorService : public FactorService {
 public:
  explicit SqliteFactorService(std::filesystem::path database, std::size_t read_threads = 0);
  ~SqliteFactorService() override;
  SqliteFactorService(const SqliteFactorService&) = delete;
  SqliteFactorService& operator=(const SqliteFactorService&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start_date,
                                        const std::optional<std::string>& end_date) override;
  std::optional<QueryTable> get_index_daily(const std::vector<std::string>& order_book_ids,
                                            const std::optional<std::string>& start_date,
                                            const std::optional<std::string>& end_date) override;

 private:
  struct Connection;

  std::filesystem::path path_;
  std::size_t read_threads_;
  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace velmora
