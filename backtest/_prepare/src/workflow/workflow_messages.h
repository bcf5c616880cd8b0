#pragma once

// Every text that the store workflows (store_build.h, store_supplement.h) raise or report.

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::backtest::workflow_messages {

inline std::string joined(const std::vector<std::string>& names) {
  if (names.empty()) return "(none)";
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

inline std::string empty_build_over_store(const std::string& start, const std::string& end, const std::string& store) {
  return "the build of " + start + " to " + end + " holds no date (the database has no Close rows in that range); " +
         "writing it would empty the store " + store + ": nothing was written (--allow-empty writes it anyway)";
}

inline std::string no_store_range(const std::string& path) {
  return "no prepared-data store with a date range at " + path;
}

inline std::string not_droppable(const std::vector<std::string>& asked, const std::filesystem::path& store,
                                 const std::vector<std::string>& held) {
  return "cannot drop " + joined(asked) + ": the store " + store.string() +
         " holds no such supplemented component (it holds: " + joined(held) + ")";
}

inline std::string building(const std::string& start, const std::string& end) {
  return "building " + start + " to " + end;
}

inline constexpr const char* READING_MASKS = "reading the component masks";
inline constexpr const char* WRITING = "writing the store";

}  // namespace velmora::backtest::workflow_messages
