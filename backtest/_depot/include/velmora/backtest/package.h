#pragma once

// The publisher's side of the benchmark data package: packing a store directory into the zip archive that
// download_benchmark_package fetches and unpacks.

#include <cstddef>
#include <filesystem>

#include "velmora/backtest/depot_export.h"

namespace velmora::backtest {

// Writes the store below `store_dir` into a new zip archive at `archive`: `store_dir` is the store, or holds
// it in a folder below (a package packed inside one folder), or holds several. Of every directory that holds
// a manifest.json (directories named ".*", such as a download's staging directory, are not entered) it packs
// the manifest, metadata.pkl and the files the manifest lists, and nothing else: a file of the user's own
// in the store directory stays out. Members are deflated, named relative to `store_dir` with "/"
// separators, in sorted order so equal stores give equal member lists; listed symbolic links are left out.
// The archive is written beside its final path and renamed into place, so a failure leaves no partial
// archive. Returns the number of files packed. Throws VelmoraError when no manifest is found, when a
// manifest is unreadable or names a file outside its directory, or when the archive cannot be written (a
// listed file missing), and file-system errors unchanged.
VELMORA_DEPOT_EXPORT std::size_t pack_store_archive(const std::filesystem::path& store_dir,
                                                   const std::filesystem::path& archive);

}  // namespace velmora::backtest
