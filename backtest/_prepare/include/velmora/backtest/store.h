#pragma once

// The prepared-data store that callers use. It is the store base with a matrix dtype map that includes the
// index-membership (component) datasets, a `load` that by default reads only the datasets the store's
// metadata really lists, and `add_component_matrices`, which writes component matrices that an existing
// store lacks and registers them in its metadata, so a store written before a component joined the list can
// be completed without rebuilding it.
//
// It keeps no state beyond the base's. Like a write, a supplement holds the store's writer lock
// (velmora/store_lock.h) from reading the metadata to rewriting it, so it never interleaves with a rebuild
// or another supplement; it is crash-safe in the same way as a write: new files first, then the metadata by
// atomic rename, then the manifest.

#include <optional>
#include <string>
#include <vector>

#include "velmora/backtest/ordered_map.h"
#include "velmora/backtest/payload.h"
#include "velmora/backtest/prepare_export.h"
#include "velmora/backtest/store_base.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/backtest/wide_matrix.h"
#include "velmora/value.h"

namespace velmora::backtest {

class VELMORA_PREPARE_EXPORT BinaryPreparedDataStore : public BinaryPreparedDataStoreBase {
 public:
  // The base over `store_dir` with build_matrix_dtype(component_names), PREPARED_DATA_VERSION and
  // FLOAT_STORAGE_DTYPE. `component_names` nothing means the built-in component names.
  explicit BinaryPreparedDataStore(PathLike store_dir,
                                   const std::optional<std::vector<std::string>>& component_names = std::nullopt);
  BinaryPreparedDataStore(PathLike store_dir, const std::vector<std::string>& component_names);
  // The same with a dynamic value: null or a list; any other kind throws TypeError.
  BinaryPreparedDataStore(PathLike store_dir, const Value& component_names);
  ~BinaryPreparedDataStore() override;

  // With `keys` nothing, the keys of matrix_dtype() (in its order) that the metadata's "datasets" lists;
  // datasets the metadata lists but matrix_dtype() lacks are not read. An explicit list (empty included) is
  // passed on unchanged. Then the base's load.
  std::optional<Payload> load(std::optional<std::string> start_date = std::nullopt,
                              std::optional<std::string> end_date = std::nullopt,
                              std::optional<std::vector<std::string>> keys = std::nullopt,
                              bool mmap = true) const override;
  // The same with dynamic values: dates null or text, `keys` null or a list of texts; other kinds throw
  // TypeError before any work.
  std::optional<Payload> load(const Value& start_date, const Value& end_date, const Value& keys, bool mmap) const;

  // Writes the matrix of each name of parse_name_list(component_names) whose dataset key the store lacks,
  // and registers it: "datasets", then "component_names", "component_dataset_keys", "updated_at" and
  // "component_supplemented_at" of "meta", and the top-level "updated_at". Returns the names newly written,
  // in order; when there are none the metadata is not rewritten. Holds the writer lock throughout: throws
  // StoreLockedError at once when another process holds it.
  // Throws ValueError "缺失成分股矩阵为空，无法补充: <name>" when a name to write has no matrix in
  // `component_matrices` or one without rows; the metadata is then left as it was.
  std::vector<std::string> add_component_matrices(const OrderedMap<WideMatrix>& component_matrices,
                                                  const std::vector<std::string>& component_names) const;
  // The same with `component_names` a dynamic value, which must be a list (TypeError otherwise); its
  // elements take their text form as parse_name_list gives it.
  std::vector<std::string> add_component_matrices(const OrderedMap<WideMatrix>& component_matrices,
                                                  const Value& component_names) const;
  // The first form under a lock the caller took for a whole workflow (velmora/store_writing.h).
  // REQUIRES: the caller holds the store's writer lock: `held` is the lock of store_dir().
  std::vector<std::string> add_component_matrices(const OrderedMap<WideMatrix>& component_matrices,
                                                  const std::vector<std::string>& component_names,
                                                  const StoreWriterLock& held) const;
 private:
  // The work of add_component_matrices. REQUIRES: the caller holds the store's writer lock.
  std::vector<std::string> add_components_locked(const OrderedMap<WideMatrix>& component_matrices,
                                                 const Value& component_names) const;
};

}  // namespace velmora::backtest
