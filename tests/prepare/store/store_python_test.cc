// A store is plain pickle + numpy: CPython with numpy reads a store we wrote without our code, and we load a
// store that CPython and numpy wrote (as a downloaded package would be).

#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/matrix_builders.h"
#include "support/temp_dir.h"
#include "velmora/backtest/builder.h"
#include "velmora/backtest/store.h"
#include "velmora/factor_service.h"
#include "velmora/pickle.h"
#include "velmora/sample_database.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora::backtest {
namespace {

using testing::run_python;
using testing::sample_payload;
using testing::TempDir;

std::string join(const Labels& labels) {
  std::string out;
  for (std::size_t i = 0; i < labels.size(); ++i) out += (i ? "," : "") + labels[i];
  return out;
}

std::string bits_of(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

// One line per dataset as the Python side prints it: key, dtypes, shape, labels and every cell (float cells
// as their bit patterns, so NaN, -0.0 and infinities compare exactly).
std::string expected_listing(const Payload& payload, const std::string& dtype_of_bool) {
  std::ostringstream out;
  for (const auto& key : payload.data.keys()) {
    const WideMatrix* m = payload.data.find_matrix(key);
    if (!m) continue;
    bool is_bool = m->cell_type() == CellType::boolean;
    out << key << " " << (is_bool ? dtype_of_bool : "float64") << " " << (is_bool ? "|b1" : "<f8") << " ("
        << m->rows() << ", " << m->cols() << ") " << join(m->row_labels()) << "|" << join(m->column_labels()) << "|";
    for (std::size_t r = 0; r < m->rows(); ++r) {
      for (std::size_t c = 0; c < m->cols(); ++c) {
        if (r + c > 0) out << " ";
        out << (is_bool ? std::to_string(m->bool_cells()[r * m->cols() + c]) : bits_of(m->float_cells()[r * m->cols() + c]));
      }
    }
    out << "\n";
  }
  for (const auto& [name, series] : *payload.data.benchmark_dict()) {
    out << "benchmark " << name << " " << series.name() << " <f8 " << join(series.dates()) << "|";
    for (std::size_t i = 0; i < series.size(); ++i) out << (i ? " " : "") << bits_of(series.values()[i]);
    out << "\n";
  }
  return out.str();
}

// Opens the store in argv[1] with pickle and numpy alone (mapped, read-only), checks the manifest, re-pickles
// the meta map to meta_again.pkl and prints one line per dataset and series as expected_listing does.
const char* NUMPY_LISTING = R"PY(
import os, pickle, sys, zlib
import numpy as np
d = sys.argv[1]
md = pickle.load(open(os.path.join(d, "metadata.pkl"), "rb"))
assert md["version"] == 1 and isinstance(md["updated_at"], str)
open(os.path.join(d, "meta_again.pkl"), "wb").write(pickle.dumps(md["meta"], protocol=5))
lines = []
for key, e in md["datasets"].items():
    a = np.load(os.path.join(d, e["file"]), mmap_mode="r")
    assert isinstance(a, np.memmap) and a.flags["C_CONTIGUOUS"] and not a.flags["WRITEABLE"]
    assert list(a.shape) == e["shape"] and len(e["index"]) == a.shape[0] and len(e["columns"]) == a.shape[1]
    if a.dtype == np.bool_:
        cells = " ".join(str(int(x)) for x in a.ravel())
    else:
        cells = " ".join("%016x" % x for x in a.view("<u8").ravel())
    lines.append("%s %s %s %s %s|%s|%s" % (key, e["dtype"], a.dtype.str, a.shape, ",".join(e["index"]),
                                         ",".join(e["columns"]), cells))
for name, e in md["benchmark_dict"].items():
    a = np.load(os.path.join(d, e["file"]), mmap_mode="r")
    assert a.shape == (len(e["index"]),)
    lines.append("benchmark %s %s %s %s|%s" % (name, e["name"], a.dtype.str, ",".join(e["index"]),
                                             " ".join("%016x" % x for x in a.view("<u8"))))
import json
manifest = json.load(open(os.path.join(d, "manifest.json")))
for f in manifest["files"]:
    data = open(os.path.join(d, f["path"]), "rb").read()
    assert len(data) == f["size"] and "%08x" % zlib.crc32(data) == f["crc32"], f["path"]
listed = sorted(f["path"] for f in manifest["files"])
assert listed == sorted(x for x in os.listdir(d) if x not in ("manifest.json", "meta_again.pkl")), listed
print("\n".join(lines))
)PY";

TEST(StorePythonTest, CPythonAndNumpyReadAStoreWeWrote) {
  TempDir dir;
  const std::vector<std::string> components = {"rq_index_components_new_000852.XSHG"};
  BinaryPreparedDataStore store(dir.path(), components);
  Payload payload = sample_payload(9, 4, 7, components);
  store.write(payload);

  std::string output;
  ASSERT_EQ(run_python(NUMPY_LISTING, {dir.path().string()}, output), 0) << output;
  EXPECT_EQ(output, expected_listing(payload, "bool"));
  EXPECT_EQ(pickle_dumps(pickle_loads(testing::read_file(dir / "meta_again.pkl"))), pickle_dumps(payload.meta));
}

TEST(StorePythonTest, WeLoadAStoreThatCPythonAndNumpyWrote) {
  TempDir dir;
  // A package laid out differently from ours: files in a subdirectory, metadata at protocol 4 with the label
  // lists shared through the memo, no sizes or checksums, bool and float arrays saved by numpy itself.
  std::string script = R"PY(
import os, pickle, sys
import numpy as np
d = sys.argv[1]
os.makedirs(os.path.join(d, "data"))
dates = ["20240102", "20240103", "20240104", "20240105"]
cols = ["000001", "000002", "600000"]
close = np.array([[i * 10 + j + 0.5 for j in range(3)] for i in range(4)])
close[1, 2] = np.nan
close[3, 0] = -np.inf
can_buy = np.array([[(i + j) % 2 == 0 for j in range(3)] for i in range(4)])
np.save(os.path.join(d, "data", "close.npy"), close)
np.save(os.path.join(d, "data", "can_buy.npy"), can_buy)
np.save(os.path.join(d, "data", "bench.npy"), np.array([0.0, 0.01, -0.02, 0.03]))
md = {"version": 1, "updated_at": "2024-01-06T00:00:00", "meta": {"component_names": []},
      "datasets": {"close_price": {"file": "data/close.npy", "dtype": "float64", "shape": [4, 3], "index": dates, "columns": cols},
                   "can_buy_stock": {"file": "data/can_buy.npy", "dtype": "bool", "shape": [4, 3], "index": dates, "columns": cols}},
      "benchmark_dict": {"000300": {"file": "data/bench.npy", "index": dates}}}
pickle.dump(md, open(os.path.join(d, "metadata.pkl"), "wb"), protocol=4)
)PY";
  std::string output;
  ASSERT_EQ(run_python(script, {dir.path().string()}, output), 0) << output;

  BinaryPreparedDataStore store(dir.path(), std::vector<std::string>{});
  for (bool mmap : {true, false}) {
    auto loaded = store.load(std::optional<std::string>("2024-01-03"), std::nullopt, std::nullopt, mmap);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->data.keys(), (std::vector<std::string>{"close_price", "can_buy_stock", "benchmark_dict"}));
    const auto& close = loaded->data.matrix("close_price");
    EXPECT_LABELS(close, ({"20240103", "20240104", "20240105"}), ({"000001", "000002", "600000"}));
    EXPECT_CELLS(close, {{10.5, 11.5, NaN}, {20.5, 21.5, 22.5}, {-INFINITY, 31.5, 32.5}});
    const auto& can_buy = loaded->data.matrix("can_buy_stock");
    EXPECT_EQ(can_buy.cell_type(), CellType::boolean);
    EXPECT_CELLS(can_buy, {{0, 1, 0}, {1, 0, 1}, {0, 1, 0}});
    const auto& bench = loaded->data.benchmark_dict()->at("000300");
    EXPECT_EQ(bench.dates().names(), (std::vector<std::string>{"20240103", "20240104", "20240105"}));
    EXPECT_EQ(bench.values(), (std::vector<double>{0.01, -0.02, 0.03}));
    EXPECT_EQ(bench.name(), BENCHMARK_SERIES_NAME);
  }
}

TEST(StorePythonTest, ABuildFromASqliteDatabaseIsStoredLoadedAndReadByNumpy) {
  TempDir dir;
  SampleOptions options;
  options.instruments = 40;
  options.days = 70;
  SampleSummary summary = write_sample_database(dir / "factors.db", options);
  Payload payload;
  {
    ScopedFactorService installed(std::make_shared<SqliteFactorService>(dir / "factors.db"));
    payload = GroupPreparedDataBuilder(summary.first_date, summary.last_date).build();
  }
  BinaryPreparedDataStore store(dir / "store");
  store.write(payload);

  // What the store holds: every matrix in the storage type its dtype map names.
  Payload stored;
  stored.version = payload.version;
  stored.meta = payload.meta;
  for (const auto& [key, dtype] : store.matrix_dtype()) {
    if (const WideMatrix* matrix = payload.data.find_matrix(key)) {
      stored.data.set_matrix(key, matrix->astype(dtype == BOOL_STORAGE_DTYPE ? CellType::boolean : CellType::float64));
    }
  }
  stored.data.set_benchmark_dict(*payload.data.benchmark_dict());
  ASSERT_EQ(stored.data.size(), payload.data.size());
  ASSERT_GT(payload.data.matrix("close_price").rows(), 40u);

  const Labels& dates = payload.data.matrix("close_price").row_labels();
  for (bool mmap : {true, false}) {
    SCOPED_TRACE(mmap ? "mapped" : "read");
    testing::expect_same_payload(stored, *store.load(std::nullopt, std::nullopt, std::nullopt, mmap));
    testing::expect_same_payload(stored, *store.load(dates[10], dates[30], std::nullopt, mmap), dates[10], dates[30]);
  }

  std::string output;
  ASSERT_EQ(run_python(NUMPY_LISTING, {(dir / "store").string()}, output), 0) << output;
  EXPECT_EQ(output, expected_listing(stored, "bool"));
}

}  // namespace
}  // namespace velmora::backtest
