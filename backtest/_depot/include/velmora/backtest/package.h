#pragma once

// The publisher's side of the benchmark data package: packing a store directory into the zip archive that
// download_benchmark_package fetches and unpacks.

#include <cstddef>
#include <filesystem>

#include "velmora/backtest/depot_export.h"

namespace velmora::backtest {

// Writes every regular file below `store_dir` into a new zip archive at `archive` (deflated, names relative
// to `store_dir` with "/" separators, in sorted order so equal stores give equal member lists). Symbolic
// links are not followed. The archive is written beside its final path and renamed into place, so a failure
// leaves no partial archive. Returns the number of files packed. Throws VelmoraError when the archive cannot
// be written, and file-system errors unchanged.
VELMORA_DEPOT_EXPORT std::size_t pack_store_archive(const std::filesystem::path& store_dir,
                                                   const std::filesystem::path& archive);

}  // namespace velmora::backtest
