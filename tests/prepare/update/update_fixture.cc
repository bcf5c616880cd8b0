#include "update_fixture.h"

#include <cmath>
#include <cstdint>

#include "velmora/backtest/dates.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"

namespace velmora::testing {

namespace {

using backtest::days_from_yyyymmdd;
using backtest::yyyymmdd_from_days;
using Row = std::vector<Cell>;

std::vector<std::string> weekdays(const std::string& first, const std::string& last) {
  std::vector<std::string> out;
  for (auto day = days_from_yyyymmdd(first); day <= days_from_yyyymmdd(last); ++day) {
    // 1970-01-01 was a Thursday: day % 7 == 2 is a Saturday, 3 a Sunday.
    if (day % 7 != 2 && day % 7 != 3) out.push_back(yyyymmdd_from_days(day));
  }
  return out;
}

std::string dashed(const std::string& d) { return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2); }

// A deterministic value in [0, 1) for a (seed, a, b) triple.
double noise(std::uint64_t seed, std::size_t a, std::size_t b) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + a * 0xBF58476D1CE4E5B9ULL + b * 0x94D049BB133111EBULL;
  x ^= x >> 31;
  x *= 0xD6E8FEB86CD9ED89ULL;
  x ^= x >> 29;
  return static_cast<double>(x >> 11) / 9007199254740992.0;
}

struct Instrument {
  std::string id;
  std::string listed;    // first trading date
  std::string delisted;  // first date without trading
};

const std::vector<Instrument> INSTRUMENTS = {
    {"000001.XSHE", "20240101", "99999999"}, {"000001.XSHG", "20240110", "99999999"},  // one key
    {"600000.XSHG", "20240101", "99999999"}, {"600519.XSHG", "20240101", "20240125"},  // delisted
    {"300750.XSHE", "20240108", "99999999"}, {"300999.XSHE", "20240205", "99999999"},  // listed late
    {"688001.XSHG", "20240207", "99999999"}, {"002222.XSHE", "20240206", "99999999"},
    {"601111.XSHG", "20240130", "20240201"},
};

}  // namespace

QueryTable market_factor_rows(const MarketOptions& options) {
  std::vector<Row> rows;
  const auto dates = weekdays("20240101", "20240229");
  auto add = [&](const std::string& id, const std::string& date, const std::string& factor, const Cell& value) {
    rows.push_back(Row{id, dashed(date), factor, value});
  };
  for (std::size_t d = 0; d < dates.size(); ++d) {
    const std::string& date = dates[d];
    const bool messy = date >= options.messy_from;
    for (std::size_t i = 0; i < INSTRUMENTS.size(); ++i) {
      const Instrument& in = INSTRUMENTS[i];
      // Suspended until it trades, with flags but no prices.
      if (in.id == "688001.XSHG" && date >= "20240131" && date < in.listed) add(in.id, date, "rq_is_suspended", 1.0);
      // A sell price before it trades fully.
      if (in.id == "002222.XSHE" && date >= "20240125" && date < in.listed)
        add(in.id, date, "tick_vwap_price_925_1000", 7.0 + static_cast<double>(d % 3));
      if (date < in.listed || date >= in.delisted) continue;
      if (in.id == "601111.XSHG" && !options.with_short_lived) continue;

      double close = 10.0 + static_cast<double>(i) + std::floor(noise(1, i, d) * 40.0) / 4.0;
      if (date >= options.shift_from) close += options.close_shift;
      const bool suspended = noise(2, i, d) < 0.08;
      add(in.id, date, "rq_is_suspended", suspended ? 1.0 : 0.0);
      add(in.id, date, "rq_industry_exposure_new", static_cast<double>(i % 3));
      for (std::size_t c = 0; c < backtest::COMPONENT_FACTOR_NAMES.size(); ++c) {
        // Members, non-members written as 0, and an instrument that is never a member.
        double member = i == 2 ? 0.0 : (noise(3, i * 7 + c, d / 5) < 0.6 ? 1.0 : 0.0);
        if (options.members_flipped && c == 0 && date >= options.shift_from) member = 1.0 - member;
        add(in.id, date, backtest::COMPONENT_FACTOR_NAMES[c], member);
      }
      // An index that no build reads, for stores that were supplemented with it.
      add(in.id, date, SUPPLEMENTED_COMPONENT, noise(11, i, d / 5) < 0.5 ? 1.0 : 0.0);
      if (suspended) continue;
      const double limit_up = close + 1.0, limit_down = close - 1.0;
      const double buy = noise(4, i, d) < 0.15 ? limit_up : close + 0.25;
      const double sell = noise(5, i, d) < 0.15 ? limit_down : close - 0.25;
      if (messy && noise(6, i, d) < 0.2) {
        add(in.id, date, "Close", std::string("oops"));  // a text that is no number: the earlier row stands
        add(in.id, date, "Close", std::to_string(close));  // a number written as text
        add(in.id, date, "Close", Cell{});                 // missing: dropped
      } else {
        add(in.id, date, "Close", close);
      }
      add(in.id, date, "Open", close - 0.5 + noise(7, i, d));
      add(in.id, date, "limit_up", limit_up);
      add(in.id, date, "limit_down", limit_down);
      if (!(in.id == "002222.XSHE" && date < in.listed)) add(in.id, date, "tick_vwap_price_935_1005", buy);
      add(in.id, date, "tick_vwap_price_925_1000", sell);
      if (messy && noise(8, i, d) < 0.1) add(in.id, date, "Open", close + 3.0);  // a duplicate: the later wins
    }
  }
  // Sparse corporate actions: a dividend on a Saturday (after the week's last close) and others on
  // trading days, splits now and then.
  add("600000.XSHG", "20240113", "rq_get_dividend", 2.5);
  add("000001.XSHE", "20240117", "rq_get_dividend", std::string("1.2"));
  add("300999.XSHE", "20240208", "rq_get_dividend", 0.8);
  add("600519.XSHG", "20240112", "split_coefficient_to", 1.5);
  add("300999.XSHE", "20240212", "split_coefficient_to", 2.0);
  add("000001.XSHG", "20240210", "rq_get_dividend", 0.3);  // Saturday inside the update range
  return QueryTable::from_rows({"order_book_id", "date", "factor", "value"}, rows);
}

QueryTable market_index_rows(const MarketOptions& options) {
  std::vector<Row> rows;
  const auto dates = weekdays("20240101", "20240229");
  std::size_t k = 0;
  for (const auto& [name, code] : backtest::BENCHMARK_INDEX_CODES) {
    for (std::size_t d = 0; d < dates.size(); ++d) {
      double level = 1000.0 + 10.0 * static_cast<double>(k) + std::floor(noise(9, k, d) * 200.0);
      if (dates[d] >= options.shift_from) level += options.index_shift;
      // A missing quote now and then, and one index that stops quoting early.
      if (noise(10, k, d) < 0.1 || (k == 2 && dates[d] > "20240215")) continue;
      const bool missing = k == 1 && d % 9 == 4;
      const double quote = options.close_only_benchmarks ? level : level / 1e5;
      if (missing) {
        rows.push_back(Row{code, dashed(dates[d]), std::monostate{}});
      } else {
        rows.push_back(Row{code, dashed(dates[d]), quote});
      }
    }
    ++k;
  }
  return QueryTable::from_rows(
      {"order_book_id", "date", options.close_only_benchmarks ? "close" : "daily_return"}, rows);
}

std::vector<std::string> store_differences(const std::filesystem::path& a, const std::filesystem::path& b) {
  const Value left = backtest::BinaryPreparedDataStore(a).load_metadata();
  const Value right = backtest::BinaryPreparedDataStore(b).load_metadata();
  std::vector<std::string> differences;
  auto compare_entries = [&](const std::string& where, const Value& x, const Value& y) {
    if (!x.is_object() || !y.is_object()) {
      if (x != y) differences.push_back(where + ": one side is missing");
      return;
    }
    std::vector<std::string> xs, ys;
    for (const auto& [key, entry] : x.items()) xs.push_back(key);
    for (const auto& [key, entry] : y.items()) ys.push_back(key);
    if (xs != ys) differences.push_back(where + ": different keys or order");
    for (const auto& [key, entry] : x.items()) {
      if (!y.contains(key)) continue;
      for (const char* field : {"dtype", "shape", "index", "columns", "size", "crc32", "name"}) {
        if (entry.value(field, Value()) != y[key].value(field, Value()))
          differences.push_back(where + "/" + key + ": " + field + " differs");
      }
    }
  };
  compare_entries("datasets", left.value("datasets", Value()), right.value("datasets", Value()));
  compare_entries("benchmark_dict", left.value("benchmark_dict", Value()), right.value("benchmark_dict", Value()));
  compare_entries("update_basis", left.value("update_basis", Value()).value("sources", Value()),
                  right.value("update_basis", Value()).value("sources", Value()));
  Value left_meta = left.value("meta", Value::object()), right_meta = right.value("meta", Value::object());
  for (Value* meta : {&left_meta, &right_meta}) {
    if (meta->contains("updated_at")) (*meta)["updated_at"] = "<time>";
  }
  if (left_meta != right_meta) differences.push_back("meta: " + left_meta.dump() + " vs " + right_meta.dump());
  if (left.value("version", Value()) != right.value("version", Value())) differences.push_back("version differs");
  return differences;
}

}  // namespace velmora::testing
