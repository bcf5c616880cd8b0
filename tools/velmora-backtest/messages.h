#pragma once

// Every text the tool itself prints on a failure or as a note, in one place. The libraries' messages are
// printed as they are; these are only the tool's own.

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::tool::messages {

inline std::string joined(const std::vector<std::string>& names) {
  if (names.empty()) return "(none)";
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

inline std::string see_help(const std::string& command) {
  return "see 'velmora-backtest " + (command.empty() ? std::string() : command + " ") + "--help'";
}

inline std::string unknown_command(const std::string& name) { return "unknown command '" + name + "'"; }
inline constexpr const char* NO_COMMAND = "no command given";
inline constexpr const char* HELP_ARGUMENTS = "help takes at most one command";

// Every form of date the tool accepts, for its help and its usage errors.
inline constexpr const char* DATE_FORMS = "YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD";

inline std::string invalid_date(const std::string& option, const std::string& text) {
  return option + " '" + text + "' is not a date: use " + DATE_FORMS;
}

// What the tool was doing when `command` failed, before the library's message.
inline std::string failed_command(const std::string& command) {
  if (command == "sample") return "cannot write the sample database";
  if (command == "build") return "cannot build the store";
  if (command == "load") return "cannot load the store";
  if (command == "supplement") return "cannot supplement the store";
  if (command == "download") return "cannot download the benchmark package";
  if (command == "update") return "cannot update the store";
  if (command == "package") return "cannot pack the store";
  if (command == "verify") return "the store did not verify";
  if (command == "clean") return "cannot clean up around the store";
  return command + " failed";
}

inline std::string start_after_end(const std::string& start, const std::string& end) {
  return "--start " + start + " is after --end " + end + ": the range holds no date";
}

inline std::string from_after_end(const std::string& from, const std::string& end) {
  return "--from " + from + " is after --end " + end + ": there is nothing to read again";
}

inline std::string not_a_choice(const std::string& option, const std::string& value, const std::string& choices) {
  std::string text = option;
  text += " must be ";
  text += choices;
  text += ", not '";
  text += value;
  text += "'";
  return text;
}

inline std::string out_of_range(const std::string& option, std::int64_t value, std::int64_t low, std::int64_t high) {
  return option + " must be between " + std::to_string(low) + " and " + std::to_string(high) + ", not " +
         std::to_string(value);
}

inline std::string not_a_directory(const std::string& option, const std::string& path) {
  return option + " " + path + " is a file, not a directory";
}

inline std::string ancestor_not_a_directory(const std::string& option, const std::string& path,
                                            const std::string& ancestor) {
  return option + " " + path + " cannot be created: " + ancestor + " is not a directory";
}

inline std::string not_writable(const std::string& option, const std::string& path, const std::string& reason) {
  return option + " " + path + " is not writable: " + reason;
}

inline std::string no_such_directory(const std::string& option, const std::string& path) {
  return option + " " + path + " is not a directory";
}

inline std::string exists_without_force(const std::string& option, const std::string& path) {
  return option + " " + path + " exists: give --force to replace it";
}

inline std::string is_a_directory(const std::string& option, const std::string& path) {
  return option + " " + path + " is a directory";
}

inline std::string no_store(const std::string& path) {
  return "no prepared-data store at " + path + " (metadata.pkl is missing)";
}

inline std::string no_store_range(const std::string& path) {
  return "no prepared-data store with a date range at " + path;
}

inline constexpr const char* NO_COMPONENTS = "--components names no component factor";
inline constexpr const char* EMPTY_API = "--api names no address";

inline std::string unknown_datasets(const std::vector<std::string>& asked, const std::vector<std::string>& held) {
  return "the store holds no dataset " + joined(asked) + "; it holds: " + joined(held);
}

inline std::string unknown_components(const std::vector<std::string>& asked, const std::vector<std::string>& held) {
  return "the store lists no component " + joined(asked) + "; it lists: " + joined(held);
}

inline std::string empty_build_over_store(const std::string& start, const std::string& end, const std::string& store) {
  return "the build of " + start + " to " + end + " holds no date (the database has no Close rows in that range); " +
         "writing it would empty the store " + store + ": nothing was written (--allow-empty writes it anyway)";
}

inline std::string empty_new_store(const std::string& start, const std::string& end, const std::string& store) {
  return "note: the build of " + start + " to " + end + " holds no date (the database has no Close rows in that " +
         "range); the store " + store + " was written without data";
}

inline std::string flattened(const std::string& folder, const std::string& store) {
  return "the package held one folder, " + folder + "/; its contents were moved up into " + store;
}

inline std::string store_faults(const std::string& store, std::size_t count) {
  return "the store " + store + " has " + std::to_string(count) + (count == 1 ? " fault" : " faults");
}

}  // namespace velmora::tool::messages
