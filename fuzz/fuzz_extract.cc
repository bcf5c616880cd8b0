// An archive from fuzz bytes extracted into a fresh temporary directory. The first byte picks the archive:
// the remaining bytes as they are, or a real zip written with the zip library whose members are named from
// the spellings that matter to the entry guard (leading "/" or "./", doubled and trailing separators,
// backslashes, "." and ".." components, names through links). The second byte picks the store directory:
// empty, or holding links to a directory inside it, to one outside it and a dangling one outside.
//
// Invariants, whatever the outcome: nothing exists outside the store directory but what was there (the
// parent is checked), the outside directory stays empty, every link keeps its text and no new link appears;
// the result is success, the illegal-entry error (with the store left untouched) or the damaged-archive
// error, else a file-system error or an error of the zip library that is not damage (encrypted or
// unsupported members), which pass through. For an empty store directory (no links), every member name is
// also checked against a plain lexical reference: an accepted archive has no name that resolves outside.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "extract/extract_zip.h"
#include "fuzz_check.h"
#include "velmora/errors.h"

namespace fs = std::filesystem;

namespace {

const std::string ILLEGAL_ENTRY = "回测基准数据包含非法路径条目: ";
const std::string DAMAGED_ARCHIVE = "回测基准数据包损坏,无法解压";

// The links a "linked" store directory holds, name → text.
const std::map<std::string, std::string> LINKS = {
    {"in", "sub"}, {"out", "../outside"}, {"dangling", "../nowhere"}, {"up", ".."}};

struct Member {
  std::string name;
  std::string data;
  bool deflate = false;
  bool symlink = false;
};

// A member name built from the pieces that spell the same path in different ways.
std::string fuzzed_name(FuzzedDataProvider& input) {
  static const char* const COMPONENTS[] = {"a", "b", "sub", "in", "out", "dangling", "up", "..", ".", "",
                                           "metadata.pkl", "x.npy", "..\\x", "a\\..\\..\\x", "~", "C:", "store",
                                           "outside", "nowhere", "...", ". ", " .."};
  static const char* const SEPARATORS[] = {"/", "//", "/./", "\\", "/../"};
  static const char* const LEADS[] = {"", "", "/", "./", "../", "//", ".//", "\\", "../store/", "/tmp/"};
  std::string name = input.PickValueInArray(LEADS);
  std::size_t parts = input.ConsumeIntegralInRange<std::size_t>(1, 5);
  for (std::size_t i = 0; i < parts; ++i) {
    if (i > 0) name += input.PickValueInArray(SEPARATORS);
    if (input.ConsumeBool()) name += input.ConsumeRandomLengthString(12);
    else name += input.PickValueInArray(COMPONENTS);
  }
  if (input.ConsumeIntegralInRange<int>(0, 3) == 0) name += input.ConsumeBool() ? "/" : "//";
  std::erase(name, '\0');  // the zip library takes names as C strings
  return name;
}

// Writes `members` as a zip archive at `path`; false when the zip library refuses a name.
bool write_zip(const fs::path& path, const std::vector<Member>& members) {
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive) return false;
  for (const auto& member : members) {
    zip_source_t* source = zip_source_buffer(archive, member.data.data(), member.data.size(), 0);
    zip_int64_t index = source ? zip_file_add(archive, member.name.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
      if (source) zip_source_free(source);
      zip_discard(archive);
      return false;
    }
    auto i = static_cast<zip_uint64_t>(index);
    zip_set_file_compression(archive, i, member.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
    if (member.symlink) zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX, (S_IFLNK | 0777u) << 16);
  }
  return zip_close(archive) == 0 || (zip_discard(archive), false);
}

// Splits at "/" and drops empty and "." parts.
std::vector<std::string> parts_of(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// Whether the entry guard must accept `name`, decided by text alone, which is exact for a store directory
// without links: the name joined to the store directory (an absolute name replaces it) and normalised must
// lie inside it, and a file entry must keep a name once "." and ".." are dropped.
bool legal_by_text(const fs::path& store, const std::string& name) {
  std::vector<std::string> resolved;
  std::string joined = name.starts_with('/') ? name : store.string() + "/" + name;
  for (const auto& part : parts_of(joined)) {
    if (part != "..") resolved.push_back(part);
    else if (!resolved.empty()) resolved.pop_back();
  }
  std::vector<std::string> root = parts_of(store.string());
  if (resolved.size() < root.size() || !std::equal(root.begin(), root.end(), resolved.begin())) return false;
  if (name.ends_with('/')) return true;
  for (const auto& part : parts_of(name)) {
    if (part != "..") return true;
  }
  return false;
}

// Every path below `dir` (links listed, not followed), with the link text for links.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    std::string relative = it->path().lexically_relative(dir).string();  // links not resolved
    entries[relative] = it->is_symlink() ? "-> " + fs::read_symlink(it->path()).string() : "";
  }
  return entries;
}

class TempBase {
 public:
  TempBase() {
    std::string pattern = (fs::temp_directory_path() / "fuzz_extract.XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
  }
  ~TempBase() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool structured = data[0] & 1;
  const bool linked = data[1] & 1;
  FuzzedDataProvider input(data + 2, size - 2);

  TempBase base;
  const fs::path store = base.path() / "store";
  const fs::path outside = base.path() / "outside";
  fs::create_directories(store / "sub");
  fs::create_directory(outside);
  if (linked) {
    for (const auto& [name, text] : LINKS) fs::create_symlink(text, store / name);
  }
  const fs::path archive = base.path() / "package.zip";

  std::vector<Member> members;
  if (structured) {
    std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, 6);
    for (std::size_t i = 0; i < count; ++i) {
      Member member;
      member.name = fuzzed_name(input);
      member.deflate = input.ConsumeBool();
      member.symlink = input.ConsumeIntegralInRange<int>(0, 7) == 0;
      member.data = input.ConsumeRandomLengthString(64);
      members.push_back(std::move(member));
    }
    if (!write_zip(archive, members)) return 0;
  } else {
    std::string bytes = input.ConsumeRemainingBytesAsString();
    std::ofstream(archive, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  const auto before = snapshot(store);
  std::string refused_as_illegal;
  try {
    velmora::backtest::_extract_zip(archive, store);
  } catch (const velmora::VelmoraError& error) {
    const std::string message = error.what();
    if (message.starts_with(ILLEGAL_ENTRY)) {
      refused_as_illegal = message;
      FUZZ_CHECK(snapshot(store) == before, "an illegal entry was refused after something was written");
    } else {
      FUZZ_CHECK(message == DAMAGED_ARCHIVE, "unexpected message: %s", message.c_str());
    }
  } catch (const fs::filesystem_error&) {
    // Members that collide (a file where another member needs a directory) fail in the file system.
  } catch (const std::system_error& error) {
    FUZZ_CHECK(std::string(error.code().category().name()) == "libzip", "unexpected error: %s", error.what());
  }

  // Nothing outside the store directory.
  std::set<std::string> top;
  for (const auto& entry : fs::directory_iterator(base.path())) top.insert(entry.path().filename().string());
  FUZZ_CHECK((top == std::set<std::string>{"store", "outside", "package.zip"}), "something was created outside");
  FUZZ_CHECK(fs::is_empty(outside), "something was written through a link to the outside");

  // No link changed or appeared.
  for (const auto& [path, link] : snapshot(store)) {
    if (link.empty()) continue;
    auto found = LINKS.find(path);
    FUZZ_CHECK(linked && found != LINKS.end() && link == "-> " + found->second, "link %s %s", path.c_str(),
               link.c_str());
  }

  // The guard's verdict against the reference: the first illegal member is the one refused, and an archive
  // without one is never refused for its names.
  if (structured && !linked) {
    const fs::path root = fs::canonical(store);
    std::string first_illegal;
    bool any_illegal = false;
    for (const auto& member : members) {
      if (!legal_by_text(root, member.name)) {
        first_illegal = member.name;
        any_illegal = true;
        break;
      }
    }
    if (any_illegal) FUZZ_CHECK(refused_as_illegal == ILLEGAL_ENTRY + first_illegal, "the entry %s was not refused first", first_illegal.c_str());
    else FUZZ_CHECK(refused_as_illegal.empty(), "refused a legal archive: %s", refused_as_illegal.c_str());
  }
  return 0;
}
