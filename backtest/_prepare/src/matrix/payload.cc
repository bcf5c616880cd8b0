#include "velmora/backtest/payload.h"

#include "velmora/errors.h"

namespace velmora::backtest {

const WideMatrix* PayloadData::find_matrix(const std::string& key) const {
  const PayloadEntry* entry = entries_.find(key);
  return entry ? std::get_if<WideMatrix>(entry) : nullptr;
}

const WideMatrix& PayloadData::matrix(const std::string& key) const {
  const WideMatrix* found = find_matrix(key);
  if (!found) throw KeyError(key);
  return *found;
}

const BenchmarkDict* PayloadData::benchmark_dict() const {
  const PayloadEntry* entry = entries_.find(BENCHMARK_DICT_KEY);
  return entry ? std::get_if<BenchmarkDict>(entry) : nullptr;
}

}  // namespace velmora::backtest
