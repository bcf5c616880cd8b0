// Metadata that repeats a row or column label of a matrix (possible in a downloaded package, never written by
// the store) is refused when the matrix is loaded, mapped or read, with or without a date range: a matrix's
// labels are unique, and every later step relies on that.

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store_base.h"
#include "velmora/errors.h"
#include "velmora/pickle.h"

namespace velmora::backtest {
namespace {

using testing::expect_error;
using testing::sample_payload;
using testing::TempDir;
using testing::write_file;

TEST(StoreLabelGuardTest, RepeatedLabelsInMetadataAreRefused) {
  struct Case {
    const char* name;
    const char* field;
    std::size_t from, to;  // the label at `from` is written over the one at `to`
    std::optional<std::string> start;
  } cases[] = {
      {"repeated date, whole range", "index", 0, 1, std::nullopt},
      {"repeated date, both in the range", "index", 2, 4, "20150106"},
      {"repeated date out of order", "index", 4, 0, std::nullopt},
      {"repeated instrument", "columns", 0, 2, std::nullopt},
  };
  for (const auto& c : cases) {
    for (bool mmap : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (mmap ? " mapped" : " read"));
      TempDir dir;
      BinaryPreparedDataStoreBase store(dir.path(), BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION, FLOAT_STORAGE_DTYPE);
      store.write(sample_payload(5, 3, 1, {}));
      Value metadata = store.load_metadata();
      Value& labels = metadata["datasets"]["open_price"][c.field];
      labels[c.to] = labels[c.from];
      write_file(store.metadata_path(), pickle_dumps(metadata));

      expect_error<VelmoraError>(
          [&] { store.load(c.start, std::nullopt, std::vector<std::string>{"open_price"}, mmap); },
          "dataset \"open_price\" cannot be loaded: its row or column labels are not unique");
      // The other datasets keep their own label lists and still load.
      EXPECT_NO_THROW(store.load(c.start, std::nullopt, std::vector<std::string>{"close_price"}, mmap));
    }
  }
}

}  // namespace
}  // namespace velmora::backtest
