#include "store_entries.h"

#include <cctype>
#include <cstdio>

#include "store_messages.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"

namespace velmora::backtest::store_entries {

CellType storage_type(const std::string& dtype) {
  if (dtype == FLOAT_STORAGE_DTYPE) return CellType::float64;
  if (dtype == BOOL_STORAGE_DTYPE) return CellType::boolean;
  throw ValueError(store_messages::unsupported_dtype(dtype));
}

const std::string& text_field(const Value& entry, const char* name) {
  auto found = entry.find(name);
  if (found == entry.end() || !found->is_string()) throw ValueError(store_messages::entry_field(name));
  return found->get_ref<const std::string&>();
}

const Value& text_list_field(const Value& entry, const char* name) {
  auto found = entry.find(name);
  if (found == entry.end() || !found->is_array()) throw ValueError(store_messages::entry_field(name));
  for (const auto& item : *found) {
    if (!item.is_string()) throw ValueError(store_messages::entry_field(name));
  }
  return *found;
}

std::filesystem::path resolve_file(const std::filesystem::path& store_dir, const std::string& file) {
  std::filesystem::path relative(file);
  bool safe = !file.empty() && relative.is_relative() && !relative.has_root_name();
  for (const auto& part : relative) {
    if (part == "..") safe = false;
  }
  if (!safe) throw ValueError(store_messages::unsafe_file_path(file));
  return store_dir / relative;
}

std::string file_stem(const std::string& key) {
  std::string stem;
  for (char c : key) {
    auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '.' || c == '_' || c == '-') {
      stem += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      stem += escaped;
    }
  }
  if (stem.size() > 120) stem.resize(120);
  return stem;
}

std::vector<const Value*> file_entries(const Value& metadata) {
  std::vector<const Value*> entries;
  auto add_section = [&](const Value& holder, const char* section) {
    auto found = holder.find(section);
    if (found == holder.end() || !found->is_object()) return;
    for (const auto& [key, entry] : found->items()) entries.push_back(&entry);
  };
  if (!metadata.is_object()) return entries;
  add_section(metadata, "datasets");
  add_section(metadata, "benchmark_dict");
  auto basis = metadata.find(UPDATE_BASIS_KEY);
  if (basis != metadata.end() && basis->is_object()) add_section(*basis, UPDATE_BASIS_SOURCES_KEY);
  return entries;
}

std::set<std::string> named_files(const Value& metadata) {
  std::set<std::string> files;
  for (const Value* entry : file_entries(metadata)) {
    if (!entry->is_object()) continue;
    auto file = entry->find("file");
    if (file != entry->end() && file->is_string()) files.insert(file->get<std::string>());
  }
  return files;
}

}  // namespace velmora::backtest::store_entries
