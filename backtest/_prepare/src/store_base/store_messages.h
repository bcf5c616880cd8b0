#pragma once

// Every message text of the store's own errors, in one place.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

namespace velmora::backtest::store_messages {

inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

inline std::string io_failure(const std::string& action, const std::filesystem::path& path, int error) {
  return "cannot " + action + " " + path.string() + ": " + std::strerror(error);
}

inline std::string metadata_unreadable(const std::filesystem::path& path, const std::string& reason) {
  return "store metadata " + path.string() + " is unreadable: " + reason;
}

inline std::string metadata_missing(const std::filesystem::path& path) {
  return "store metadata " + path.string() + " is missing";
}

inline std::string dataset_unreadable(const std::string& key, const std::string& reason) {
  return "dataset " + quoted(key) + " cannot be loaded: " + reason;
}

inline std::string benchmark_unreadable(const std::string& name, const std::string& reason) {
  return "benchmark " + quoted(name) + " cannot be loaded: " + reason;
}

inline std::string dataset_unwritable(const std::string& key, const std::string& reason) {
  return "dataset " + quoted(key) + " cannot be written: " + reason;
}

inline std::string benchmark_unwritable(const std::string& name, const std::string& reason) {
  return "benchmark " + quoted(name) + " cannot be written: " + reason;
}

inline std::string dataset_not_in_store(const std::string& key) { return "dataset not in store: " + key; }

inline std::string unsupported_dtype(const std::string& dtype) {
  return "unsupported storage dtype: " + dtype + " (expected float64 or bool)";
}

inline std::string file_size_mismatch(const std::string& file, std::uint64_t expected, std::uint64_t actual) {
  return "file " + file + " holds " + std::to_string(actual) + " bytes, its header describes " +
         std::to_string(expected);
}

inline std::string entry_field(const std::string& field) {
  return "its metadata entry has no valid " + quoted(field);
}

inline std::string unsafe_file_path(const std::string& file) {
  return "its file path " + quoted(file) + " leaves the store directory";
}

inline constexpr const char* SHAPE_MISMATCH = "its metadata shape does not match its row and column labels";
inline constexpr const char* BOOL_CELL_VALUE = "a bool cell holds a byte other than 0 and 1";
inline constexpr const char* DATES_NOT_ASCENDING = "its dates are not in ascending order";
inline constexpr const char* LABELS_NOT_UNIQUE = "its row or column labels are not unique";
inline constexpr const char* METADATA_NOT_A_MAP = "it does not hold a map";

inline std::string file_shape_mismatch(const std::string& file) {
  return "file " + file + " holds an array of another shape than its metadata entry";
}

inline std::string file_type_mismatch(const std::string& file, const std::string& dtype) {
  return "file " + file + " holds other cells than its metadata dtype " + dtype;
}

inline constexpr const char* NOT_NPY = "not a .npy file";
inline constexpr const char* NPY_HEADER_UNREADABLE = "unreadable .npy header";
inline constexpr const char* NPY_FORTRAN_ORDER = "Fortran-order .npy data is not supported";

inline std::string npy_version(int major, int minor) {
  return "unsupported .npy format version " + std::to_string(major) + "." + std::to_string(minor);
}

inline std::string npy_element_type(const std::string& descr) {
  return "unsupported .npy element type '" + descr + "' (expected '<f8' or '|b1')";
}

}  // namespace velmora::backtest::store_messages
