#pragma once

// Every message text of the host library's own errors that is not a fixed text of the SDK, in one place.

#include <cstring>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace velmora::messages {

inline std::string store_locked(const std::filesystem::path& store_dir, pid_t holder) {
  return "the store " + store_dir.string() + " is being changed by another writer (pid " +
         (holder > 0 ? std::to_string(holder) : std::string("unknown")) + "); wait for it to finish";
}

inline std::string lock_failure(const std::string& action, const std::filesystem::path& lock_file, int error) {
  return "cannot " + action + " the store lock " + lock_file.string() + ": " + std::strerror(error);
}

}  // namespace velmora::messages
