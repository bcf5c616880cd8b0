#pragma once

// Every message text of the store update, in one place.

#include <filesystem>
#include <string>

namespace velmora::backtest::update_messages {

inline std::string no_store_range(const std::filesystem::path& store_dir) {
  return "store " + store_dir.string() + " has no prepared data with a start and end date to update";
}

inline std::string end_before_store_end(const std::string& end, const std::string& store_end) {
  return "update end date " + end + " is before the store's end date " + store_end;
}

inline std::string from_after_end(const std::string& from, const std::string& end) {
  return "update start date " + from + " is after the end date " + end;
}

inline std::string foreign_component(const std::string& key) {
  return "store holds membership dataset " + key +
         " that a build does not make (supplemented); an update cannot reproduce it: rebuild the store";
}

inline std::string rebuild_without_basis(const std::string& start, const std::string& end) {
  return "store has no update basis (written by an older version, or downloaded): rebuilding " + start + " to " +
         end + " in full";
}

inline std::string rebuild_whole_range(const std::string& start, const std::string& end) {
  return "re-reading the whole range " + start + " to " + end;
}

inline std::string reading_source(const std::string& from, const std::string& end) {
  return "reading the factor service from " + from + " to " + end;
}

inline constexpr const char* READING_STORE = "reading the stored rows";
inline constexpr const char* DERIVING = "deriving the base matrices";
inline constexpr const char* WRITING = "writing the store";

}  // namespace velmora::backtest::update_messages
