
#include "derive/forward_return_rank.h"
#include "velmora/backtest/builder.h"
#include "velmora/errors.h"

namespace velmora::backtest {

namespace {

const WideMatrix& source_entry(const MatrixMap& source, const std::string& key) {
  const WideMatrix* found = source.find(key);
  if (!found) throw KeyError(key);
  return *found;
}

// True where the price equals the limit price (the limit reindexed to the price's labels), counted together
// with the trading filter (1.0 = tradable, NaN = suspended), missing sides counting 0: the per-cell sum that
// decides the buy and sell permissions.
WideMatrix limit_or_tradable_sum(const WideMatrix& price, const WideMatrix& limit, const WideMatrix& filter_stock) {
  WideMatrix at_limit = price.equals(limit.reindex(price.row_labels(), price.column_labels()));
  return at_limit.add(filter_stock, 0.0);
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

  const WideMatrix close_price_valid = close_price * 0.0 + 1.0;
  const std::optional<std::string> first_close = close_price.min_row_label();
  const std::optional<std::string> last_close = close_price.max_row_label();

  // Splits are kept from the first close date on; dividends up to the last close date.
  const WideMatrix& split = source_entry(source, "split_coefficient_to");
  WideMatrix rq_get_split = ((split / 10.0) * close_price_valid).filter_rows([&](const std::string& label) {
    return first_close && label >= *first_close;
  });

  const WideMatrix& dividend = source_entry(source, "rq_get_dividend");
  WideMatrix rq_get_dividend =
      (dividend / 10.0 * 0.9 + (close_price_valid - 1.0)).filter_rows([&](const std::string& label) {
        return last_close && label <= *last_close;
      });

  const WideMatrix& filter_stock_raw = source_entry(source, "rq_is_suspended");
  const WideMatrix filter_stock = WideMatrix::constant_like(filter_stock_raw, 1.0).where(filter_stock_raw.ne(1.0));

  WideMatrix cant_sell_stock = limit_or_tradable_sum(sell_price, limit_down, filter_stock).gt(0.0);
  WideMatrix can_buy_stock = limit_or_tradable_sum(buy_price, limit_up, filter_stock).le(0.0);

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
