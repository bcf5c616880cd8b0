#include "extract/path_guard.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace velmora::backtest {
namespace {

// As the kernel allows when it resolves a path.
constexpr int MAX_LINKS = 40;

// The non-empty components of a path; a trailing separator yields an empty last component, dropped here.
std::vector<std::filesystem::path> components(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> parts;
  for (const auto& part : path) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

}  // namespace

std::filesystem::path resolve(const std::filesystem::path& path) {
  // Components still to walk, last one first, so that a link's text can be pushed in front of the rest.
  std::vector<std::filesystem::path> pending = components(std::filesystem::absolute(path).relative_path());
  std::reverse(pending.begin(), pending.end());
  std::filesystem::path resolved = "/";
  int links_followed = 0;
  while (!pending.empty()) {
    const std::filesystem::path part = std::move(pending.back());
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      resolved = resolved.parent_path();
      continue;
    }
    std::filesystem::path candidate = resolved / part;
    std::error_code missing;  // a component that does not exist (or cannot be examined) is taken as written
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(candidate, missing))) {
      resolved = std::move(candidate);
      continue;
    }
    if (++links_followed > MAX_LINKS) {
      throw std::filesystem::filesystem_error("cannot resolve", path,
                                              std::make_error_code(std::errc::too_many_symbolic_link_levels));
    }
    // Dangling links are followed too: their text says where a write through them would land.
    const std::filesystem::path text = std::filesystem::read_symlink(candidate);
    if (text.is_absolute()) resolved = "/";
    auto link_parts = components(text.relative_path());
    pending.insert(pending.end(), link_parts.rbegin(), link_parts.rend());
  }
  return resolved;
}

bool is_within(const std::filesystem::path& resolved_root, const std::filesystem::path& resolved) {
  const auto root = components(resolved_root);
  const auto target = components(resolved);
  if (target.size() < root.size()) return false;
  for (std::size_t i = 0; i < root.size(); ++i) {
    if (root[i] != target[i]) return false;
  }
  return true;
}

std::filesystem::path extraction_path(const std::string& member) {
  std::filesystem::path relative;
  std::size_t start = 0;
  while (start <= member.size()) {
    std::size_t end = member.find('/', start);
    if (end == std::string::npos) end = member.size();
    const std::string part = member.substr(start, end - start);
    if (!part.empty() && part != "." && part != "..") relative /= part;
    start = end + 1;
  }
  return relative;
}

}  // namespace velmora::backtest
