#include "builder/payload_stage.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/factor_service.h"
#include "velmora/interruption.h"

namespace velmora::backtest {

namespace {
// Tells the service which single-factor reads follow, so that it can read them in one pass, and lets it drop
// what it still holds when the reads are over. Announcing is only a hint: when it fails, every read goes to
// the service as usual and reports its own errors.
class ReadAheadScope {
 public:
  ReadAheadScope(const std::vector<std::string>& names, const std::optional<std::string>& start,
                 const std::optional<std::string>& end) {
    try {
      service_ = get_instance();
      service_->read_ahead(names, start, end);
    } catch (...) {
      service_.reset();
    }
  }
  ~ReadAheadScope() {
    if (!service_) return;
    try {
      service_->forget_read_ahead();
    } catch (...) {
      // nothing is left to drop that matters more than the build's own outcome
    }
  }
  ReadAheadScope(const ReadAheadScope&) = delete;
  ReadAheadScope& operator=(const ReadAheadScope&) = delete;

 private:
  std::shared_ptr<FactorService> service_;
};
}  // namespace

namespace builder {

SourceData read_factor_sources(const GroupPreparedDataBuilder& range, bool incremental,
                               const std::vector<std::string>& component_names) {
  SourceData out;
  out.component_names = component_names;

  if (incremental) {
    std::vector<std::string> names = BUILD_INPUT_NAMES;
    names.insert(names.end(), out.component_names.begin(), out.component_names.end());
    const MatrixMap batch = range._read_normal_factor_batch(names);

    out.source.set("Close", range._batch_or_read(batch, "Close"));
    // Placeholders of optional factors take the close's labels.
    const WideMatrix reference = out.source.at("Close");
    out.component_matrices = range._component_matrices(out.component_names, &batch, &out.component_failures);

    std::vector<std::pair<std::string, WideMatrix>> required;
    for (const auto& name : REQUIRED_FACTOR_NAMES)
      if (name != "Close") required.emplace_back(name, range._batch_or_read(batch, name));
    for (auto& [name, matrix] : required) out.source.set(name, std::move(matrix));

    std::vector<std::pair<std::string, WideMatrix>> optional;
    for (const auto& name : OPTIONAL_FACTOR_NAMES)
      optional.emplace_back(name, range._read_or_empty(name, reference, &batch));
    for (auto& [name, matrix] : optional) out.source.set(name, std::move(matrix));
  } else {
    std::vector<std::string> names = REQUIRED_FACTOR_NAMES;
    names.insert(names.end(), OPTIONAL_FACTOR_NAMES.begin(), OPTIONAL_FACTOR_NAMES.end());
    names.insert(names.end(), out.component_names.begin(), out.component_names.end());
    throw_if_interrupted();  // the read-ahead swallows errors, so not inside it
    ReadAheadScope read_ahead(names, GroupPreparedDataBuilder::_vm_factor_date(range.default_start()),
                              GroupPreparedDataBuilder::_vm_factor_date(range.end_date()));

    for (const auto& name : REQUIRED_FACTOR_NAMES) out.source.set(name, range._read_normal_factor_matrix(name));
    const WideMatrix reference = out.source.at("Close");

    std::vector<std::pair<std::string, WideMatrix>> optional;
    for (const auto& name : OPTIONAL_FACTOR_NAMES) optional.emplace_back(name, range._read_or_empty(name, reference));
    for (auto& [name, matrix] : optional) out.source.set(name, std::move(matrix));

    out.component_matrices = range._component_matrices(out.component_names, nullptr, &out.component_failures);
  }
  return out;
}

}  // namespace builder

SourceData GroupPreparedDataBuilder::_read_source_data(bool incremental) const {
  SourceData out = builder::read_factor_sources(*this, incremental, get_component_factor_names());
  out.benchmark_dict = _read_benchmark_dict();
  return out;
}

}  // namespace velmora::backtest
