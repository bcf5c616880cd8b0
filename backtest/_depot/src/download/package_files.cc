#include "download/package_files.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/file_io.h"
#include "extract/install_package.h"
#include "velmora/backtest/download_leftovers.h"
#include "velmora/backtest/depot.h"

namespace velmora::backtest {
namespace {

// Home directory from the password database; `name` empty means the current user.
std::optional<std::string> home_from_passwd(const std::string& name) {
  const long size_hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size_hint > 0 ? static_cast<std::size_t>(size_hint) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  for (;;) {
    const int rc = name.empty() ? getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)
                                : getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (rc != ERANGE) break;
    buffer.resize(buffer.size() * 2);
  }
  if (!found || !found->pw_dir) return std::nullopt;
  return std::string(found->pw_dir);
}

bool has_stale_name(const std::string& name) {
  return name.size() >= TEMP_FILE_PREFIX.size() + TEMP_FILE_SUFFIX.size() && name.starts_with(TEMP_FILE_PREFIX) &&
         name.ends_with(TEMP_FILE_SUFFIX);
}

// True when a running download holds `path` locked.
bool in_use(const std::filesystem::path& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  return fd.valid() && ::flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

}  // namespace

std::filesystem::path expand_user(const std::filesystem::path& path) {
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (!text.starts_with('~')) return text;

  const std::size_t slash = text.find('/');
  const std::string user = text.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::optional<std::string> home;
  if (!user.empty()) {
    home = home_from_passwd(user);
  } else if (const char* env = std::getenv("HOME")) {
    home = env;
  } else {
    home = home_from_passwd("");
  }
  if (!home) return text;
  while (!home->empty() && home->back() == '/') home->pop_back();
  const std::string expanded = *home + (slash == std::string::npos ? std::string() : text.substr(slash));
  return expanded.empty() ? "/" : expanded;
}

std::vector<StoreLeftover> _stale_temp_leftovers(const std::filesystem::path& temp_dir) {
  std::vector<StoreLeftover> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(temp_dir, error)) {
    if (!has_stale_name(entry.path().filename().string()) || in_use(entry.path())) continue;
    found.push_back({entry.path(), "stale download archive", bytes_below(entry.path())});
  }
  return found;
}

std::vector<StoreLeftover> download_leftovers(const std::filesystem::path& store_dir) {
  const std::filesystem::path store = expand_user(store_dir);
  std::vector<StoreLeftover> found = _staging_leftovers(store);
  std::vector<StoreLeftover> archives = _stale_temp_leftovers(_temp_dir_of(store));
  found.insert(found.end(), archives.begin(), archives.end());
  return found;
}

void _cleanup_stale_temp(const std::filesystem::path& temp_dir) {
  for (const auto& entry : std::filesystem::directory_iterator(temp_dir)) {
    if (!has_stale_name(entry.path().filename().string())) continue;
    if (in_use(entry.path())) continue;  // the archive of a download that is still running
    if (::unlink(entry.path().c_str()) != 0 && errno != ENOENT) throw_errno("cannot delete", entry.path());
  }
}

}  // namespace velmora::backtest

namespace velmora::backtest {

std::filesystem::path _temp_dir_of(const std::filesystem::path& store) {
  return store.parent_path() / TEMP_DIR_NAME;
}

}  // namespace velmora::backtest
