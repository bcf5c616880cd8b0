#pragma once

// The update basis: the source matrices of a build that no dataset holds as read, kept in the store so that
// an update can join them with re-read rows. The limit prices are always kept (the permissions compare the
// prices with them); split coefficients, dividends and suspension flags only when the factor had data, since
// a build puts a placeholder shaped like the close matrix in place of one without data, and an update must
// know which of the two the store's range had.

#include <string>
#include <vector>

#include "velmora/backtest/builder.h"

namespace velmora::backtest::builder {

// The required factors the basis always holds.
inline const std::vector<std::string> BASIS_REQUIRED_NAMES = {"limit_down", "limit_up"};

// The factors whose source matrix a dataset holds unchanged: factor name → dataset key.
inline const std::vector<std::pair<std::string, std::string>> SOURCE_DATASETS = {
    {"rq_industry_exposure_new", "industry_matrix"},
    {"Close", "close_price"},
    {"Open", "open_price"},
    {"tick_vwap_price_935_1005", "buy_price"},
    {"tick_vwap_price_925_1000", "sell_price"},
};

// True when some cell holds a value (not NaN).
bool has_value(const WideMatrix& matrix);

// The basis of a build's source map: the limit prices, and each optional factor that holds a value.
MatrixMap basis_of(const MatrixMap& source);

}  // namespace velmora::backtest::builder
