#pragma once

// The stages that every way of making a payload shares, a build and an update alike: the reads of the
// factor sources (one batch with single reads where it falls short, or one read per factor), and the way
// from sources to a payload (the membership check, the derivation, the assembly and the update basis).

#include <string>
#include <vector>

#include "velmora/backtest/builder.h"

namespace velmora::backtest::builder {

// The ten source matrices and the masks of `component_names` over `range`'s dates, read as a batch
// (`incremental`) or factor by factor; no benchmark series.
SourceData read_factor_sources(const GroupPreparedDataBuilder& range, bool incremental,
                               const std::vector<std::string>& component_names);

// "['a', 'b']": names as the messages list them.
std::string quoted_list(const std::vector<std::string>& names);

// The message of a build whose membership factors have no data.
std::string missing_components_message(const std::vector<std::string>& names);

// The message of a rebuild that cannot build again the components supplemented into its store.
std::string components_lost_message(const std::vector<std::string>& names);

// The payload of `read` over `range`'s dates: throws ValueError (missing_components_message) naming, in
// order, each of `read.component_names` without a mask, before anything is derived; else the base
// matrices derived from `read.source`, assembled with the masks and benchmarks, meta time under
// `meta_time_key`, and the update basis of the sources.
Payload payload_from_sources(const GroupPreparedDataBuilder& range, const SourceData& read,
                             const std::string& meta_time_key);

}  // namespace velmora::backtest::builder
