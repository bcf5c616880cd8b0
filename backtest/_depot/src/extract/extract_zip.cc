#include "extract/extract_zip.h"

#include <array>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>
#include <zip.h>

#include "common/file_io.h"
#include "extract/path_guard.h"
#include "extract/zip_headers.h"
#include "messages.h"
#include "velmora/errors.h"
#include "velmora/interruption.h"

namespace velmora::backtest {
namespace {

constexpr std::size_t READ_BUFFER_SIZE = 1 << 16;

class ZipCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "libzip"; }
  std::string message(int code) const override {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
  }
};

const std::error_category& zip_category() {
  static const ZipCategory category;
  return category;
}

// The zip library's codes that show the archive to be damaged or not an archive at all; every other code
// (I/O, memory, encryption, unsupported methods) is not the archive's fault.
bool is_damage(int code) {
  switch (code) {
    case ZIP_ER_NOZIP:
    case ZIP_ER_INCONS:
    case ZIP_ER_CRC:
    case ZIP_ER_EOF:
    case ZIP_ER_ZLIB:
    case ZIP_ER_COMPRESSED_DATA:
      return true;
    default:
      return false;
  }
}

// Raises the zip library's error `code` (with `context` and the library's own text), mapped to the
// damaged-archive VelmoraError when it shows damage.
[[noreturn]] void throw_zip_error(int code, const std::string& context, const std::string& detail) {
  const std::system_error error(code, zip_category(), context + ": " + detail);
  if (!is_damage(code)) throw error;
  try {
    throw error;
  } catch (...) {
    std::throw_with_nested(VelmoraError(std::string(messages::DAMAGED_ARCHIVE)));
  }
}

[[noreturn]] void throw_zip_error(zip_error_t* error, const std::string& context) {
  throw_zip_error(zip_error_code_zip(error), context, zip_error_strerror(error));
}

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct EntryCloser {
  void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

Archive open_archive(const std::filesystem::path& path) {
  // The zip library opens an empty file as an empty archive; a package is never empty.
  if (std::filesystem::file_size(path) == 0) throw_zip_error(ZIP_ER_NOZIP, path.string(), "empty file");
  int code = ZIP_ER_OK;
  // Not with the zip library's whole-archive consistency check: it refuses valid archives of streaming
  // writers, whose local headers leave sizes and CRC-32 zero or partly filled (the data descriptor after the
  // data holds them). check_headers does the part of that check that matters.
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (!archive) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::unique_ptr<zip_error_t, decltype(&zip_error_fini)> guard(&error, zip_error_fini);
    throw_zip_error(&error, path.string());
  }
  return Archive(archive);
}

// Proves that the central directory the zip library read is the one stored, entry by entry, and that every
// local header agrees with its central entry on the name and the method, before anything is written.
void check_headers(zip_t* archive, const std::filesystem::path& path) {
  std::vector<CentralEntry> entries;
  try {
    entries = read_central_directory(path);
    const auto count = static_cast<std::size_t>(zip_get_num_entries(archive, 0));
    if (entries.size() != count) {
      throw std::runtime_error("the central directory lists " + std::to_string(entries.size()) + " entries, not " +
                               std::to_string(count));
    }
    for (std::size_t i = 0; i < count; ++i) {
      const char* raw = zip_get_name(archive, i, ZIP_FL_ENC_RAW);
      if (!raw || entries[i].name != raw) {
        throw std::runtime_error("central directory entry " + std::to_string(i) + " differs");
      }
    }
    check_local_headers(path, entries);
  } catch (const std::runtime_error& inconsistency) {
    throw_zip_error(ZIP_ER_INCONS, path.string(), inconsistency.what());
  }
}

struct Member {
  std::string name;
  std::filesystem::path path;  // where it is written, relative to the store directory
  bool is_directory;
};

// Lists the members and proves that none leaves the store directory, before anything is written.
std::vector<Member> guarded_members(zip_t* archive, const std::filesystem::path& store_dir) {
  const std::filesystem::path root = resolve(store_dir);
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  std::vector<Member> members;
  members.reserve(static_cast<std::size_t>(count));
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* raw = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
    if (!raw) throw_zip_error(zip_get_error(archive), "entry " + std::to_string(i));
    Member member{raw, extraction_path(raw), false};
    member.is_directory = member.name.ends_with('/');
    // Both the entry as named and the path it is written to (".." dropped) must stay inside: a name like
    // lnk/../pkg/x resolves inside through a link that points elsewhere, yet would be written through it.
    // A file entry must name something below the root, not the root itself.
    const bool legal = is_within(root, resolve(store_dir / member.name)) &&
                       is_within(root, resolve(store_dir / member.path)) &&
                       (member.is_directory || !member.path.empty());
    if (!legal) throw VelmoraError(std::string(messages::ILLEGAL_ENTRY) + member.name);
    members.push_back(std::move(member));
  }
  return members;
}

// Writes one file entry to a temporary file beside `target` and renames it into place once the whole
// entry has been read and its CRC-32 checked (the zip library checks it when the last byte is read).
void extract_file(zip_t* archive, zip_uint64_t index, const Member& member, const std::filesystem::path& target,
                  std::vector<char>& buffer) {
  Entry entry(zip_fopen_index(archive, index, 0));
  if (!entry) throw_zip_error(zip_get_error(archive), member.name);

  // Hidden and named after the final file, ".close.bin.<random>.part"; the name part is cut short so that a
  // long member name still leaves room for the rest within the file-name limit.
  std::string prefix(1, '.');
  prefix += target.filename().string().substr(0, 100);
  prefix += '.';
  CreatedFile temp = create_unique_file(target.parent_path(), prefix, ".part", 0666);
  try {
    for (;;) {
      const zip_int64_t read = zip_fread(entry.get(), buffer.data(), buffer.size());
      if (read < 0) throw_zip_error(zip_file_get_error(entry.get()), member.name);
      if (read == 0) break;
      temp.file.write_all(buffer.data(), static_cast<std::size_t>(read), temp.path);
    }
    temp.file.close(temp.path);
    std::filesystem::rename(temp.path, target);
  } catch (...) {
    ::unlink(temp.path.c_str());
    throw;
  }
}

}  // namespace

std::vector<std::filesystem::path> _extract_zip(const std::filesystem::path& archive_path,
                                                const std::filesystem::path& store_dir,
                                                const UnpackProgress& progress) {
  const Archive archive = open_archive(archive_path);
  check_headers(archive.get(), archive_path);
  const std::vector<Member> members = guarded_members(archive.get(), store_dir);

  std::vector<std::filesystem::path> written;
  std::vector<char> buffer(READ_BUFFER_SIZE);
  for (std::size_t i = 0; i < members.size(); ++i) {
    throw_if_interrupted();  // between members: the caller removes what was extracted
    const Member& member = members[i];
    const std::filesystem::path target = store_dir / member.path;
    if (member.is_directory) {
      std::filesystem::create_directories(target);
    } else {
      std::filesystem::create_directories(target.parent_path());
      extract_file(archive.get(), i, member, target, buffer);
      written.push_back(member.path);
    }
    if (progress) progress(i + 1, members.size());
  }
  return written;
}

}  // namespace velmora::backtest
