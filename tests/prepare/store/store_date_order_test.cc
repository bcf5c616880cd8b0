// A payload whose dates a load could not bisect (out of order, or repeated) is refused by the write, naming
// the dataset, before the store directory is touched: a fresh store is not created and an existing one
// stays byte for byte as it was.

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/dir_snapshot.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store_base.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

using testing::expect_error;
using testing::sample_payload;
using testing::snapshot_dir;
using testing::TempDir;

// The sample payload with the dates of one dataset (or of one benchmark series) replaced by `dates`.
Payload with_dates(const std::string& key, std::vector<std::string> dates, bool benchmark) {
  Payload payload = sample_payload(4, 3, 1, {});
  if (benchmark) {
    BenchmarkDict series = *payload.data.benchmark_dict();
    const DateSeries& old = *series.find(key);
    series.set(key, DateSeries(Labels(std::move(dates)), old.values(), old.name()));
    payload.data.set_benchmark_dict(std::move(series));
  } else {
    const WideMatrix& old = payload.data.matrix(key);
    payload.data.set_matrix(key, WideMatrix::from_grid(std::vector<double>(old.float_cells(), old.float_cells() + old.cell_count()),
                                                       Labels(std::move(dates)), old.column_labels()));
  }
  return payload;
}

TEST(StoreDateOrderTest, DatesThatAreNotStrictlyAscendingAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* name;
    std::string key;
    std::vector<std::string> dates;
    bool benchmark;
    std::string message;  // empty: the write succeeds
  } cases[] = {
      {"ascending", "close_price", {"20150105", "20150106", "20150107", "20150108"}, false, ""},
      {"one pair swapped", "close_price", {"20150105", "20150107", "20150106", "20150108"}, false,
       "dataset \"close_price\" cannot be written: its dates are not in ascending order"},
      {"last two swapped", "open_price", {"20150105", "20150106", "20150108", "20150107"}, false,
       "dataset \"open_price\" cannot be written: its dates are not in ascending order"},
      {"a repeated date", "close_price", {"20150105", "20150106", "20150106", "20150108"}, false,
       "dataset \"close_price\" cannot be written: its dates are not in ascending order"},
      {"a benchmark with a repeated date", "000300", {"20150105", "20150105", "20150107", "20150108"}, true,
       "benchmark \"000300\" cannot be written: its dates are not in ascending order"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Payload payload = with_dates(c.key, c.dates, c.benchmark);
    for (bool existing : {false, true}) {
      TempDir dir;
      BinaryPreparedDataStoreBase store(dir.path() / "store", BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION,
                                        FLOAT_STORAGE_DTYPE);
      if (existing) store.write(sample_payload(5, 2, 2, {}));
      auto before = snapshot_dir(dir.path());
      if (c.message.empty()) {
        EXPECT_NO_THROW(store.write(payload));
        continue;
      }
      expect_error<ValueError>([&] { store.write(payload); }, c.message);
      EXPECT_EQ(snapshot_dir(dir.path()), before);  // no directory, lock file or data file left behind
    }
  }
}

}  // namespace
}  // namespace velmora::backtest
