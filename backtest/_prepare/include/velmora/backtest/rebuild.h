#pragma once

// A rebuild: a fresh build written over a store that already holds prepared data. A write replaces the
// store's whole content, so a rebuild that is not told what the store holds would silently drop the
// component masks that were supplemented into it after its first build. This completes the new payload with
// them, or refuses the rebuild naming what would be lost.

#include <string>
#include <vector>

#include "velmora/backtest/builder.h"
#include "velmora/backtest/payload.h"
#include "velmora/backtest/prepare_export.h"
#include "velmora/value.h"

namespace velmora::backtest {

// The component names the store's metadata (`store_metadata`, as load_metadata returns it; an empty map
// for a new store) lists in "meta" → "component_names" that `payload`'s meta does not list, in the store's
// order.
VELMORA_PREPARE_EXPORT std::vector<std::string> components_beyond(const Value& store_metadata,
                                                                  const Payload& payload);
// The same against the component names a build lists (`built_names`) instead of a built payload: the
// components supplemented into the store.
VELMORA_PREPARE_EXPORT std::vector<std::string> components_beyond(const Value& store_metadata,
                                                                  const std::vector<std::string>& built_names);

// Adds the mask of every name of components_beyond(store_metadata, payload) to `payload` (built by
// `builder`, whose range and factor service it reads): under its dataset key after the payload's other
// masks, and appended to "component_names" and "component_dataset_keys" of its meta. Returns the names
// added. Throws ValueError "a rebuild would lose component masks the store holds: <names>" naming each of
// them that has no data in the builder's range; `payload` is then unchanged.
VELMORA_PREPARE_EXPORT std::vector<std::string> keep_store_components(const GroupPreparedDataBuilder& builder,
                                                                      const Value& store_metadata,
                                                                      Payload& payload);

}  // namespace velmora::backtest
