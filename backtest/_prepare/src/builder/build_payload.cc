#include <exception>

#include "builder/payload_stage.h"
#include "builder/update_basis.h"
#include "velmora/errors.h"

namespace velmora::backtest {

namespace builder {

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += "'" + names[i] + "'";
  }
  return out + "]";
}

std::string missing_components_message(const std::vector<std::string>& names) {
  return "成分股矩阵缺失，无法精确生成二进制缓存: " + quoted_list(names);
}

std::string components_lost_message(const std::vector<std::string>& names) {
  std::string listed;
  for (const auto& name : names) listed += (listed.empty() ? "" : ", ") + name;
  return "a rebuild would lose component masks the store holds: " + listed;
}

Payload payload_from_sources(const GroupPreparedDataBuilder& range, const SourceData& read,
                             const std::string& meta_time_key) {
  std::vector<std::string> missing_components;
  for (const auto& name : read.component_names)
    if (!read.component_matrices.contains(name)) missing_components.push_back(name);
  if (!missing_components.empty()) {
    ValueError missing(missing_components_message(missing_components));
    // The first swallowed read failure of a missing component, if any, is the cause the caller gets to see.
    for (const auto& name : missing_components) {
      const std::exception_ptr* failure = read.component_failures.find(name);
      if (failure == nullptr) continue;
      try {
        std::rethrow_exception(*failure);
      } catch (...) {
        std::throw_with_nested(missing);
      }
    }
    throw missing;
  }
  MatrixMap data = GroupPreparedDataBuilder::_build_from_matrices(read.source);
  Payload payload = range._assemble_payload(data, read.component_matrices, read.benchmark_dict, read.component_names,
                                            meta_time_key);
  payload.update_basis = basis_of(read.source);
  return payload;
}

}  // namespace builder

Payload GroupPreparedDataBuilder::_build_payload(bool incremental, const std::string& meta_time_key) const {
  return builder::payload_from_sources(*this, _read_source_data(incremental), meta_time_key);
}

Payload GroupPreparedDataBuilder::build() const { return _build_payload(false, "created_at"); }

Payload GroupPreparedDataBuilder::build_incremental() const { return _build_payload(true, "updated_at"); }

}  // namespace velmora::backtest
