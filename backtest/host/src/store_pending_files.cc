#include "velmora/store_pending_files.h"

#include <fstream>
#include <sstream>

#include "velmora/file_primitives.h"

namespace velmora {

namespace fs = std::filesystem;

void add_pending_files(const fs::path& dir, const std::vector<std::string>& files) {
  if (files.empty()) return;
  const fs::path record = dir / STORE_PENDING_FILES_NAME;
  std::ostringstream text;
  if (std::ifstream held(record, std::ios::binary); held) text << held.rdbuf();
  for (const auto& file : files) text << file << '\n';

  // Appended piece by piece: GCC 12 misreports an overlap in the chained concatenation at -O3 (-Wrestrict).
  std::string suffix = ".";
  suffix += files::fresh_token();
  suffix += ".tmp";
  fs::path fresh = record;
  fresh += suffix;
  try {
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) throw fs::filesystem_error("cannot write", fresh, std::make_error_code(std::errc::io_error));
    fs::rename(fresh, record);
  } catch (...) {
    std::error_code ignored;
    fs::remove(fresh, ignored);
    throw;
  }
}

}  // namespace velmora
