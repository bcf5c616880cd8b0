#pragma once

// The writer lock that a writing command (build, supplement, download) holds for its whole run, so that
// every step it takes on the store, the library's writers and its own clean-up alike, happens while no other
// writer works on that store. Without --wait a store that another process holds fails at once with the
// lock's own message, which names the holder's pid; with --wait the command shows whom it waits for and
// blocks until the store is free.

#include <filesystem>
#include <memory>

#include "progress.h"
#include "velmora/store_lock.h"

namespace velmora::tool {

std::unique_ptr<StoreWriterLock> lock_store(const std::filesystem::path& store_dir, bool wait, StatusLine& status);

}  // namespace velmora::tool
