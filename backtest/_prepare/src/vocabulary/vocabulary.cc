#include "velmora/backtest/vocabulary.h"

namespace velmora::backtest {

// Definition order matters: the derived constants below read the ones above them, all in this unit.

const std::vector<std::string> REQUIRED_FACTOR_NAMES = {
    "rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
    "tick_vwap_price_935_1005", "tick_vwap_price_925_1000",
};

const std::vector<std::string> OPTIONAL_FACTOR_NAMES = {
    "split_coefficient_to",
    "rq_get_dividend",
    "rq_is_suspended",
};

const std::vector<std::string> BUILD_INPUT_NAMES = [] {
  std::vector<std::string> names = REQUIRED_FACTOR_NAMES;
  names.insert(names.end(), OPTIONAL_FACTOR_NAMES.begin(), OPTIONAL_FACTOR_NAMES.end());
  return names;
}();

const std::vector<std::string> COMPONENT_FACTOR_NAMES = {
    "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
};

const OrderedMap<std::string> BENCHMARK_INDEX_CODES = {
    {"000852", "000852.XSHG"},
    {"000300", "000300.XSHG"},
    {"000905", "000905.XSHG"},
};

const OrderedMap<std::string> BASE_MATRIX_DTYPE = {
    {"industry_matrix", FLOAT_STORAGE_DTYPE},
    {"close_price", FLOAT_STORAGE_DTYPE},
    {"open_price", FLOAT_STORAGE_DTYPE},
    {"close_price_valid", FLOAT_STORAGE_DTYPE},
    {"prev_close", FLOAT_STORAGE_DTYPE},
    {"buy_price", FLOAT_STORAGE_DTYPE},
    {"sell_price", FLOAT_STORAGE_DTYPE},
    {"rq_get_split", FLOAT_STORAGE_DTYPE},
    {"rq_get_dividend", FLOAT_STORAGE_DTYPE},
    {"can_buy_stock", BOOL_STORAGE_DTYPE},
    {"cant_sell_stock", BOOL_STORAGE_DTYPE},
    {"forward_return_rank_cache", FLOAT_STORAGE_DTYPE},
};

std::vector<std::string> get_component_factor_names() {
  return parse_name_list(COMPONENT_FACTOR_NAMES);
}

}  // namespace velmora::backtest
