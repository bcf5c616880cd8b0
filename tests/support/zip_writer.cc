#include "support/zip_writer.h"

#include <stdexcept>

#include <sys/stat.h>
#include <zip.h>

namespace velmora::testing {

void write_zip(const std::filesystem::path& path, const std::vector<ZipMember>& members) {
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive) throw std::runtime_error("zip_open failed for " + path.string());
  auto fail = [&](const std::string& what) {
    const std::string text = what + ": " + zip_strerror(archive);
    zip_discard(archive);
    throw std::runtime_error(text);
  };
  for (const auto& member : members) {
    zip_source_t* source = zip_source_buffer(archive, member.data.data(), member.data.size(), 0);
    if (!source) fail("zip_source_buffer");
    const zip_int64_t index = zip_file_add(archive, member.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(source);
      fail("zip_file_add " + member.name);
    }
    const auto i = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive, i, member.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) != 0) {
      fail("zip_set_file_compression");
    }
    if (member.symlink &&
        zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX, (S_IFLNK | 0777u) << 16) != 0) {
      fail("zip_file_set_external_attributes");
    }
  }
  // The buffers are read here, while `members` is still alive.
  if (zip_close(archive) != 0) fail("zip_close");
}

}  // namespace velmora::testing
