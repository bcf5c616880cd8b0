#pragma once

// The store's record of files that a writer has created or is replacing and has not yet seen through:
// ".pending_files" in the store directory, one file name (relative to the store) a line. The store's next
// write removes every recorded file that its new metadata does not name, then the record. Both the store's
// own writes and a package download over a store record here, so the name lives with the host.

#include <filesystem>
#include <string>
#include <vector>

#include "velmora/host_export.h"

namespace velmora {

inline constexpr const char* STORE_PENDING_FILES_NAME = ".pending_files";

// Adds `files` to the record in `dir`, after what it already holds. The record is written anew and renamed
// into place rather than appended to: a download builds its new tree of hard links to the old store's
// files, this record among them, and the old store's copy must stay as it was. Nothing happens for an empty
// `files`. File-system errors are thrown unchanged.
VELMORA_HOST_EXPORT void add_pending_files(const std::filesystem::path& dir, const std::vector<std::string>& files);

}  // namespace velmora
