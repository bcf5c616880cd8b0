#include "velmora/backtest/store_supplement.h"

#include <algorithm>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/value.h"
#include "workflow/workflow_messages.h"

namespace velmora::backtest {

StoreSupplement supplement_store(const std::filesystem::path& store_dir, const std::vector<std::string>& component_names,
                                 const StoreSupplementOptions& options) {
  auto say = [&](const std::string& text) {
    if (options.progress) options.progress(text);
  };
  const std::vector<std::string> names = parse_name_list(Value(component_names));
  StoreWritingScope scope(store_dir, options.lock);
  const BinaryPreparedDataStore store(store_dir, names);
  const Value metadata = store.load_metadata();
  const Value meta = metadata.value("meta", Value::object());
  if (!meta.contains("start_date") || !meta.contains("end_date"))
    throw VelmoraError(workflow_messages::no_store_range(store_dir.string()));

  say(workflow_messages::READING_MASKS);
  const GroupPreparedDataBuilder builder(meta["start_date"], meta["end_date"]);
  const MatrixMap masks = builder._component_matrices(names);
  say(workflow_messages::WRITING);
  StoreSupplement result;
  result.added = store.add_component_matrices(masks, names, scope.lock());
  scope.succeeded();
  for (const auto& name : names)
    if (std::find(result.added.begin(), result.added.end(), name) == result.added.end())
      result.already_present.push_back(name);
  return result;
}

}  // namespace velmora::backtest
