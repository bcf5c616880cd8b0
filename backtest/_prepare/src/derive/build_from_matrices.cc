
#include "derive/forward_return_rank.h"
#include "matrix/cell_kernels.h"
#include "velmora/backtest/builder.h"
#include "velmora/errors.h"

namespace velmora::backtest {

namespace {

const WideMatrix& source_entry(const MatrixMap& source, const std::string& key) {
  const WideMatrix* found = source.find(key);
  if (!found) throw KeyError(key);
  return *found;
}

// (price == limit) + filter_stock, per cell over the union of the price's and the suspension flags' labels,
// the limit reindexed to the price's labels and a missing side counting 0: the sum that decides the buy and
// sell permissions, handed to `decide` for the cell's answer. The equality is 1.0 or 0.0 wherever the price
// has the cell (NaN equals nothing); filter_stock is 1.0 where the flag is anything but 1.0 (tradable, a
// missing flag included) and NaN where it is 1.0 (suspended). Computed in one pass, with no matrix for the
// equality, the filter or the sum.
template <typename Decide>
WideMatrix limit_or_tradable(const WideMatrix& price_in, const WideMatrix& limit, const WideMatrix& suspended_in,
                             Decide decide) {
  const WideMatrix price = price_in.as_float(), suspended = suspended_in.as_float();
  // Shares the limit's cells when its labels are the price's already.
  const WideMatrix limit_on_price = limit.reindex(price.row_labels(), price.column_labels());
  const double* p = price.float_cells();
  const double* l = limit_on_price.float_cells();
  const double* s = suspended.float_cells();
  const auto pc = static_cast<std::ptrdiff_t>(price.cols()), sc = static_cast<std::ptrdiff_t>(suspended.cols());
  return kernels::combine_cells(price, suspended,
                                [&](std::ptrdiff_t pi, std::ptrdiff_t pj, std::ptrdiff_t si, std::ptrdiff_t sj) {
                                  const std::ptrdiff_t at = pi * pc + pj, st = si * sc + sj;
                                  const double at_limit = pj < 0 ? NaN : (p[at] == l[at] ? 1.0 : 0.0);
                                  const double filter_stock = sj < 0 ? NaN : (s[st] != 1.0 ? 1.0 : NaN);
                                  return decide(kernels::sum_with_fill(at_limit, filter_stock, 0.0));
                                });
}

}  // namespace

MatrixMap GroupPreparedDataBuilder::_build_from_matrices(const MatrixMap& source) {
  const WideMatrix& industry_matrix = source_entry(source, "rq_industry_exposure_new");
  const WideMatrix& limit_down = source_entry(source, "limit_down");
  const WideMatrix& limit_up = source_entry(source, "limit_up");
  const WideMatrix& close_price = source_entry(source, "Close");
  const WideMatrix& open_price = source_entry(source, "Open");
  const WideMatrix& buy_price = source_entry(source, "tick_vwap_price_935_1005");
  const WideMatrix& sell_price = source_entry(source, "tick_vwap_price_925_1000");

  // Each chain below is one pass over the cells, in the order of operations of the written formula, so
  // every cell is the one that the formula step by step would give.
  // close * 0.0 + 1.0: 1.0 where the close is a finite number, NaN elsewhere.
  const WideMatrix close_price_valid = kernels::map_cells(close_price, [](double c) { return c * 0.0 + 1.0; });
  const std::optional<std::string> first_close = close_price.min_row_label();
  const std::optional<std::string> last_close = close_price.max_row_label();

  // Splits are kept from the first close date on; dividends up to the last close date.
  // (split / 10.0) * close_price_valid
  const WideMatrix& split = source_entry(source, "split_coefficient_to");
  WideMatrix rq_get_split =
      kernels::combine(split, close_price, [](double s, double c) { return (s / 10.0) * (c * 0.0 + 1.0); })
          .filter_rows([&](const std::string& label) { return first_close && label >= *first_close; });

  // dividend / 10.0 * 0.9 + (close_price_valid - 1.0)
  const WideMatrix& dividend = source_entry(source, "rq_get_dividend");
  WideMatrix rq_get_dividend =
      kernels::combine(dividend, close_price,
                       [](double d, double c) { return d / 10.0 * 0.9 + ((c * 0.0 + 1.0) - 1.0); })
          .filter_rows([&](const std::string& label) { return last_close && label <= *last_close; });

  const WideMatrix& suspended = source_entry(source, "rq_is_suspended");
  WideMatrix cant_sell_stock =
      limit_or_tradable(sell_price, limit_down, suspended, [](double sum) { return sum > 0.0; });
  WideMatrix can_buy_stock =
      limit_or_tradable(buy_price, limit_up, suspended, [](double sum) { return sum <= 0.0; });

  MatrixMap result;
  result.set("industry_matrix", industry_matrix);
  result.set("close_price", close_price);
  result.set("open_price", open_price);
  result.set("close_price_valid", close_price_valid);
  result.set("prev_close", close_price.shift(1));
  result.set("buy_price", buy_price);
  result.set("sell_price", sell_price);
  result.set("rq_get_split", std::move(rq_get_split));
  result.set("rq_get_dividend", std::move(rq_get_dividend));
  result.set("can_buy_stock", std::move(can_buy_stock));
  result.set("cant_sell_stock", std::move(cant_sell_stock));
  result.set("forward_return_rank_cache", forward_return_rank(open_price));
  return result;
}

}  // namespace velmora::backtest
