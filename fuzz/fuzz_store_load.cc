// A store directory built from fuzz bytes, loaded with and without a date range and keys, mapped and read.
// The first byte picks the store: the metadata file and two data files as raw bytes, or metadata written
// from fuzz-chosen entries (keys, dtypes, shapes, labels, file names, a benchmark series) with .npy files
// that match them, each of which a few fuzz-chosen faults may break (a shape or type that differs from the
// file, a byte too few or too many, a label list of another length, a file outside the store, a bool cell
// that is not 0 or 1, a date that is not one).
//
// Invariants: a load either fails with one of the store's errors (VelmoraError, KeyError, ValueError) or
// returns exactly what the files hold: for each dataset the rows whose labels fall in the range, in stored
// order, with every cell equal to the file's cell at that row and column (read from the file here, not
// through the store); for the benchmark the dates in the range and their values. A store without a fault
// always loads. AddressSanitizer watches every read of the store's buffers.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_check.h"
#include "npy_format.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/store_base.h"
#include "velmora/errors.h"
#include "velmora/pickle.h"

namespace fs = std::filesystem;
namespace vb = velmora::backtest;
using velmora::Value;

namespace {

const char* const DATE_POOL[] = {"20240102", "20240103", "20240104", "20240105", "20240108", "2024-01-03", "x", ""};
const char* const RANGE_POOL[] = {"20240103", "2024-01-04", "20240101", "20241231", "20240105 10:00", "2024-13-01"};
const char* const KEY_POOL[] = {"open", "close", "component__x", "a/b", "ü"};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "fuzz_store.XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// What the test wrote for one dataset, to check a load against.
struct Written {
  std::string key;
  vb::CellType type;
  std::vector<std::string> index;
  std::size_t cols = 0;
  std::string file_bytes;  // the whole .npy file
  std::size_t data_offset = 0;
};

struct Store {
  std::vector<Written> datasets;
  std::optional<Written> benchmark;
  bool faulty = false;  // a fault was built in: the load may fail
};

std::vector<std::string> labels(FuzzedDataProvider& input, std::size_t count, bool dates) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    if (dates) out.push_back(input.PickValueInArray(DATE_POOL));
    else out.push_back("c" + std::to_string(i));
  }
  return out;
}

Store build_structured(FuzzedDataProvider& input, const fs::path& dir) {
  Store store;
  auto fault = [&](int one_in) {
    bool hit = input.ConsumeIntegralInRange<int>(0, one_in - 1) == 0;
    store.faulty = store.faulty || hit;
    return hit;
  };
  Value metadata = Value::object();
  metadata["version"] = 1;
  Value datasets = Value::object();
  std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, 2);
  for (std::size_t d = 0; d < count; ++d) {
    Written w;
    w.key = input.PickValueInArray(KEY_POOL);
    if (datasets.contains(w.key)) continue;
    w.type = input.ConsumeBool() ? vb::CellType::float64 : vb::CellType::boolean;
    std::size_t rows = input.ConsumeIntegralInRange<std::size_t>(0, 5);
    w.cols = input.ConsumeIntegralInRange<std::size_t>(0, 3);
    w.index = labels(input, rows, true);
    // A matrix's row labels are unique; a store that repeats one is refused.
    std::set<std::string> distinct(w.index.begin(), w.index.end());
    store.faulty = store.faulty || distinct.size() != w.index.size();
    std::vector<std::string> columns = labels(input, w.cols, false);

    std::vector<std::uint64_t> shape{rows, w.cols};
    if (fault(16)) shape[input.ConsumeIntegralInRange<std::size_t>(0, 1)] += 1;
    vb::CellType file_type = fault(16) ? (w.type == vb::CellType::float64 ? vb::CellType::boolean : vb::CellType::float64) : w.type;
    std::string preamble = vb::npy_preamble(file_type, shape);
    w.data_offset = preamble.size();
    std::size_t cell_bytes = rows * w.cols * (file_type == vb::CellType::float64 ? 8 : 1);
    std::string cells = input.ConsumeBytesAsString(cell_bytes);
    cells.resize(cell_bytes, '\0');
    if (file_type == vb::CellType::boolean) {
      for (auto& byte : cells) byte = static_cast<char>(byte & 1);
      if (!cells.empty() && fault(16)) cells[0] = 2;
    }
    w.file_bytes = preamble + cells;
    if (fault(16)) w.file_bytes.push_back('\0');
    if (!w.file_bytes.empty() && fault(16)) w.file_bytes.pop_back();

    std::string file = "d" + std::to_string(d) + ".npy";
    write_file(dir / file, w.file_bytes);
    if (fault(24)) file = input.PickValueInArray({"../d0.npy", "/etc/hostname", "", ".", "missing.npy", "./d0.npy"});
    Value entry = {{"file", file},
                   {"dtype", w.type == vb::CellType::float64 ? "float64" : "bool"},
                   {"shape", Value::array({rows, w.cols})},
                   {"index", w.index},
                   {"columns", columns}};
    if (fault(24)) entry["index"].push_back("20240109");
    if (fault(32)) entry["shape"] = Value::array({-1, 2});
    if (fault(32)) entry["dtype"] = "float32";
    datasets[w.key] = entry;
    store.datasets.push_back(std::move(w));
  }
  metadata["datasets"] = datasets;

  if (input.ConsumeBool()) {
    Written w;
    w.key = "csi";
    w.type = vb::CellType::float64;
    // Benchmark dates ascend and are unique in a sound store.
    for (const char* date : {"20240102", "20240103", "20240104", "20240105"}) {
      if (input.ConsumeBool()) w.index.push_back(date);
    }
    if (w.index.size() >= 2 && fault(16)) std::swap(w.index.front(), w.index.back());
    std::string preamble = vb::npy_preamble(vb::CellType::float64, {w.index.size()});
    w.data_offset = preamble.size();
    std::string cells = input.ConsumeBytesAsString(w.index.size() * 8);
    cells.resize(w.index.size() * 8, '\0');
    w.file_bytes = preamble + cells;
    if (fault(16)) w.file_bytes.pop_back();
    write_file(dir / "bench.npy", w.file_bytes);
    metadata["benchmark_dict"] = {{"csi", {{"file", "bench.npy"}, {"index", w.index}, {"name", "index_daily_return"}}}};
    store.benchmark = std::move(w);
  }
  write_file(dir / "metadata.pkl", velmora::pickle_dumps(metadata));
  return store;
}

bool in_range(const std::string& date, const std::optional<std::string>& start, const std::optional<std::string>& end) {
  return (!start || date >= *start) && (!end || date <= *end);
}

void check_matrix(const vb::WideMatrix& matrix, const Written& w, const std::optional<std::string>& start,
                  const std::optional<std::string>& end) {
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < w.index.size(); ++i) {
    if (in_range(w.index[i], start, end)) positions.push_back(i);
  }
  FUZZ_CHECK(matrix.rows() == positions.size(), "%s: %zu rows loaded, %zu in range", w.key.c_str(), matrix.rows(),
             positions.size());
  FUZZ_CHECK(matrix.cols() == w.cols);
  for (const auto* labels : {&matrix.row_labels(), &matrix.column_labels()}) {
    std::set<std::string> distinct(labels->begin(), labels->end());
    FUZZ_CHECK(distinct.size() == labels->size(), "%s: a loaded matrix repeats a label", w.key.c_str());
  }
  FUZZ_CHECK(matrix.cell_type() == w.type);
  const std::size_t item = w.type == vb::CellType::float64 ? 8 : 1;
  for (std::size_t r = 0; r < positions.size(); ++r) {
    FUZZ_CHECK(matrix.row_labels()[r] == w.index[positions[r]]);
    for (std::size_t c = 0; c < w.cols; ++c) {
      std::size_t at = w.data_offset + (positions[r] * w.cols + c) * item;
      FUZZ_CHECK(at + item <= w.file_bytes.size());
      if (w.type == vb::CellType::float64) {
        FUZZ_CHECK(std::memcmp(&matrix.float_cells()[r * w.cols + c], w.file_bytes.data() + at, 8) == 0,
                   "%s: cell (%zu, %zu) differs from the file", w.key.c_str(), r, c);
      } else {
        FUZZ_CHECK(matrix.bool_cells()[r * w.cols + c] == static_cast<std::uint8_t>(w.file_bytes[at]));
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  FuzzedDataProvider input(data + 1, size - 1);
  const bool structured = data[0] & 1;
  TempDir dir;

  Store store;
  if (structured) {
    store = build_structured(input, dir.path());
  } else {
    write_file(dir.path() / "metadata.pkl", input.ConsumeRandomLengthString(4096));
    write_file(dir.path() / "a.npy", input.ConsumeRandomLengthString(4096));
    write_file(dir.path() / "b.npy", input.ConsumeRemainingBytesAsString());
    store.faulty = true;
  }

  std::optional<std::string> start, end;
  if (input.ConsumeBool()) start = input.PickValueInArray(RANGE_POOL);
  if (input.ConsumeBool()) end = input.PickValueInArray(RANGE_POOL);
  std::optional<std::vector<std::string>> keys;
  if (input.ConsumeBool()) {
    keys.emplace();
    for (const auto& w : store.datasets) {
      if (input.ConsumeBool()) keys->push_back(w.key);
    }
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
      keys->push_back("absent");
      store.faulty = true;
    }
  }
  const bool mmap = input.ConsumeBool();
  const std::optional<std::string> start_date = start ? vb::parse_date_text(*start) : std::nullopt;
  const std::optional<std::string> end_date = end ? vb::parse_date_text(*end) : std::nullopt;
  const bool dates_valid = (!start || start_date) && (!end || end_date);

  vb::BinaryPreparedDataStoreBase base(dir.path(), {}, 1, "float64");
  std::optional<vb::Payload> payload;
  try {
    payload = base.load(start, end, keys, mmap);
  } catch (const velmora::VelmoraError&) {
    FUZZ_CHECK(store.faulty, "a sound store failed to load");
    return 0;
  } catch (const velmora::KeyError&) {
    FUZZ_CHECK(store.faulty, "a sound store failed to load");
    return 0;
  } catch (const velmora::ValueError&) {
    FUZZ_CHECK(store.faulty || !dates_valid, "a sound store failed to load");
    return 0;
  }
  FUZZ_CHECK(dates_valid, "a range that is not a date was accepted");
  FUZZ_CHECK(payload.has_value());
  if (!structured) return 0;

  for (const auto& w : store.datasets) {
    bool requested = !keys || std::find(keys->begin(), keys->end(), w.key) != keys->end();
    const vb::WideMatrix* matrix = payload->data.find_matrix(w.key);
    FUZZ_CHECK((matrix != nullptr) == requested, "dataset %s loaded: %d, requested: %d", w.key.c_str(),
               matrix != nullptr, requested);
    if (matrix) check_matrix(*matrix, w, start_date, end_date);
  }
  if (store.benchmark) {
    const vb::BenchmarkDict* dict = payload->data.benchmark_dict();
    FUZZ_CHECK(dict && dict->contains("csi"), "the benchmark is missing");
    const vb::DateSeries& series = dict->at("csi");
    const Written& w = *store.benchmark;
    std::size_t r = 0;
    for (std::size_t i = 0; i < w.index.size(); ++i) {
      if (!in_range(w.index[i], start_date, end_date)) continue;
      FUZZ_CHECK(r < series.size() && series.dates()[r] == w.index[i], "benchmark dates differ");
      FUZZ_CHECK(std::memcmp(&series.values()[r], w.file_bytes.data() + w.data_offset + i * 8, 8) == 0);
      ++r;
    }
    FUZZ_CHECK(r == series.size(), "benchmark has dates outside the range");
  }
  return 0;
}
