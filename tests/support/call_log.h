#pragma once

// The calls an in-memory factor service recorded, one line each: "one:<name>" for a single-factor read,
// "list:<a>,<b>" for a batch read, "index:<code>,<code>" for an index-daily read.

#include <string>
#include <vector>

#include "velmora/in_memory_factor_service.h"

namespace velmora::testing {

inline std::vector<std::string> call_log(const InMemoryFactorService& service) {
  std::vector<std::string> log;
  for (const auto& call : service.calls()) {
    bool index = call.operation == FactorServiceCall::Operation::get_index_daily;
    std::string line = index ? "index:" : call.is_single_factor() ? "one:" : "list:";
    std::vector<std::string> names = index ? call.order_book_ids : call.factor_names();
    for (std::size_t i = 0; i < names.size(); ++i) line += (i ? "," : "") + names[i];
    log.push_back(line);
  }
  return log;
}

}  // namespace velmora::testing
