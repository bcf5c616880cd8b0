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

namespace velmora::messages {

inline constexpr const char* INTERRUPTED = "interrupted";

inline constexpr const char* MANIFEST_UNREADABLE = "the store manifest is missing or unreadable";

inline std::string manifest_mismatch(const std::string& file, const std::string& what) {
  return "store file " + file + " does not match the manifest: " + what;
}

inline std::string io_failure(const std::string& action, const std::filesystem::path& path, int error) {
  return "cannot " + action + " " + path.string() + ": " + std::strerror(error);
}

inline std::string unsafe_manifest_path(const std::string& file) {
  return "store file " + file + " is listed by the manifest outside the store directory";
}

}  // namespace velmora::messages
