#pragma once

// The name of a store's metadata file, which the package side looks for but never reads.

namespace velmora::backtest {

inline constexpr const char* METADATA_FILE_NAME = "metadata.pkl";

}  // namespace velmora::backtest
