#include "velmora/store_manifest.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "messages.h"
#include "velmora/file_primitives.h"
#include "velmora/value.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// The size and CRC-32 of a whole file; the failure's text when it cannot be read.
std::optional<files::FileSum> checksum(const fs::path& path, std::string& failure) {
  files::FileSum sum = files::checksum_file(path);
  if (!sum.error) return sum;
  failure = messages::io_failure(sum.action, path, sum.error);
  return std::nullopt;
}

bool inside(const std::string& file) {
  fs::path relative(file);
  if (file.empty() || !relative.is_relative()) return false;
  for (const auto& part : relative) {
    if (part == "..") return false;
  }
  return true;
}

std::optional<Value> read_manifest(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  Value manifest = Value::parse(text.str(), nullptr, false);
  if (manifest.is_discarded() || !manifest.is_object() || !manifest.contains("files") ||
      !manifest["files"].is_array()) {
    return std::nullopt;
  }
  return manifest;
}

}  // namespace

std::optional<std::vector<std::string>> manifest_paths(const fs::path& dir) {
  std::optional<Value> manifest = read_manifest(dir / STORE_MANIFEST_FILE_NAME);
  if (!manifest) return std::nullopt;
  std::vector<std::string> paths;
  for (const auto& record : (*manifest)["files"]) {
    auto path = record.is_object() ? record.find("path") : record.end();
    if (!record.is_object() || path == record.end() || !path->is_string()) return std::nullopt;
    if (!inside(path->get_ref<const std::string&>())) return std::nullopt;
    paths.push_back(path->get<std::string>());
  }
  return paths;
}

std::vector<std::string> manifest_faults(const fs::path& dir) {
  std::optional<Value> manifest = read_manifest(dir / STORE_MANIFEST_FILE_NAME);
  if (!manifest) return {messages::MANIFEST_UNREADABLE};

  std::vector<std::string> faults;
  for (const auto& record : (*manifest)["files"]) {
    auto path = record.is_object() ? record.find("path") : record.end();
    if (!record.is_object() || path == record.end() || !path->is_string()) {
      faults.emplace_back(messages::MANIFEST_UNREADABLE);
      continue;
    }
    const std::string& file = path->get_ref<const std::string&>();
    if (!inside(file)) {
      faults.push_back(messages::unsafe_manifest_path(file));
      continue;
    }
    std::string failure;
    std::optional<files::FileSum> sum = checksum(dir / file, failure);
    if (!sum) {
      faults.push_back(messages::manifest_mismatch(file, failure));
      continue;
    }
    auto size = record.find("size");
    std::uint64_t expected_size = size != record.end() && size->is_number_unsigned() ? size->get<std::uint64_t>() : 0;
    if (size == record.end() || !size->is_number_unsigned() || sum->size != expected_size) {
      faults.push_back(messages::manifest_mismatch(
          file, "size " + std::to_string(sum->size) + ", expected " +
                    (size != record.end() ? size->dump() : std::string("none"))));
      continue;
    }
    auto crc = record.find("crc32");
    std::string expected_crc = crc != record.end() && crc->is_string() ? crc->get<std::string>() : "none";
    if (files::crc_text(sum->crc) != expected_crc) {
      faults.push_back(
          messages::manifest_mismatch(file, "CRC-32 " + files::crc_text(sum->crc) + ", expected " + expected_crc));
    }
  }
  return faults;
}

}  // namespace velmora
