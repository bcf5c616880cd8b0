// The store base on real files: a payload written and loaded back whole and by date range, mapped and read,
// conversions between storage types, rewrites, and the manifest.

#include "velmora/backtest/store_base.h"

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/matrix_builders.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::expect_same_payload;
using testing::sample_payload;
using testing::TempDir;

const std::vector<std::string> COMPONENTS = {"rq_index_components_new_000300.XSHG",
                                             "rq_index_components_new_000905.XSHG"};

BinaryPreparedDataStoreBase base_store(const fs::path& dir) {
  return BinaryPreparedDataStoreBase(dir, BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION, FLOAT_STORAGE_DTYPE);
}

std::set<std::string> directory_names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(dir)) names.insert(item.path().filename().string());
  return names;
}

TEST(StoreBaseTest, WholePayloadRoundTripsMappedAndRead) {
  TempDir dir;
  auto store = base_store(dir / "store");
  Payload payload = sample_payload(23, 9, 1, COMPONENTS);
  store.write(payload);
  for (bool mmap : {true, false}) {
    auto loaded = store.load(std::nullopt, std::nullopt, std::nullopt, mmap);
    ASSERT_TRUE(loaded.has_value());
    expect_same_payload(payload, *loaded);
    EXPECT_EQ(loaded->data.matrix("can_buy_stock").cell_type(), CellType::boolean);
  }
}

TEST(StoreBaseTest, DateRangesSelectInclusiveRowsInAnyDateForm) {
  TempDir dir;
  auto store = base_store(dir.path());
  Payload payload = sample_payload(30, 5, 2, COMPONENTS);
  store.write(payload);
  const auto& dates = payload.data.matrix("close_price").row_labels();
  struct Case {
    std::optional<std::string> start, end;       // as given
    std::optional<std::string> canon_start, canon_end;  // as "YYYYMMDD"
  };
  const Case cases[] = {
      {dates[3], dates[10], dates[3], dates[10]},
      {std::nullopt, dates[4], std::nullopt, dates[4]},
      {dates[25], std::nullopt, dates[25], std::nullopt},
      {"2015-01-10", "2015/01/20", "20150110", "20150120"},  // weekend bounds fall between rows
      {"20150110T09:30:00", "2015-01-13 15:00", "20150110", "20150113"},
      {"20300101", std::nullopt, "20300101", std::nullopt},  // after the last row: no rows
      {dates[12], dates[2], dates[12], dates[2]},            // reversed: no rows
      {dates[7], dates[7], dates[7], dates[7]},              // one day: its row alone
      {"2015-01-10", "20150110", "20150110", "20150110"},    // one day without a row: no rows
  };
  for (const auto& c : cases) {
    for (bool mmap : {true, false}) {
      auto loaded = store.load(c.start, c.end, std::nullopt, mmap);
      ASSERT_TRUE(loaded.has_value());
      SCOPED_TRACE(c.start.value_or("open") + " .. " + c.end.value_or("open") + (mmap ? " mapped" : " read"));
      expect_same_payload(payload, *loaded, c.canon_start, c.canon_end);
    }
  }
  expect_error<ValueError>([&] { store.load("2024-02-30", std::nullopt, std::nullopt, true); },
                           "无法识别的日期: 2024-02-30");
}

TEST(StoreBaseTest, KeysChooseAndOrderDatasetsAndUnknownKeysAreNamed) {
  TempDir dir;
  auto store = base_store(dir.path());
  Payload payload = sample_payload(6, 4, 3, COMPONENTS);
  store.write(payload);
  auto loaded = store.load(std::nullopt, std::nullopt, std::vector<std::string>{"sell_price", "close_price"}, true);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->data.keys(), (std::vector<std::string>{"sell_price", "close_price", "benchmark_dict"}));
  EXPECT_TRUE(identical(loaded->data.matrix("sell_price"), payload.data.matrix("sell_price")));

  auto none = store.load(std::nullopt, std::nullopt, std::vector<std::string>{}, false);
  EXPECT_EQ(none->data.keys(), (std::vector<std::string>{"benchmark_dict"}));

  expect_error<KeyError>(
      [&] { store.load(std::nullopt, std::nullopt, std::vector<std::string>{"close_price", "no_such"}, true); },
      "dataset not in store: no_such");
}

TEST(StoreBaseTest, AnEmptyDirectoryHasNoPayloadAndEmptyMetadata) {
  TempDir dir;
  auto store = base_store(dir / "never-written");
  EXPECT_FALSE(store.load().has_value());
  EXPECT_EQ(store.load_metadata(), Value::object());
}

TEST(StoreBaseTest, StorageTypeFollowsTheDtypeMapAndConvertsCells) {
  TempDir dir;
  OrderedMap<std::string> dtype = {{"flags_as_float", FLOAT_STORAGE_DTYPE}, {"numbers_as_bool", BOOL_STORAGE_DTYPE}};
  BinaryPreparedDataStoreBase store(dir.path(), dtype, PREPARED_DATA_VERSION, FLOAT_STORAGE_DTYPE);
  Labels rows{"20240102", "20240103"};
  Labels cols{"000001", "000002"};
  Payload payload;
  payload.version = 1;
  payload.data.set_matrix("flags_as_float", WideMatrix::from_bool_grid({1, 0, 0, 1}, rows, cols));
  payload.data.set_matrix("numbers_as_bool", WideMatrix::from_grid({0.0, -0.0, NaN, 2.5}, rows, cols));
  payload.data.set_matrix("unlisted_bool", WideMatrix::from_bool_grid({0, 1, 1, 1}, rows, cols));
  payload.data.set_matrix("unlisted_float", WideMatrix::from_grid({1, 2, 3, 4}, rows, cols));
  store.write(payload);

  Value datasets = store.load_metadata()["datasets"];
  EXPECT_EQ(datasets["flags_as_float"]["dtype"], "float64");
  EXPECT_EQ(datasets["numbers_as_bool"]["dtype"], "bool");
  EXPECT_EQ(datasets["unlisted_bool"]["dtype"], "bool");
  EXPECT_EQ(datasets["unlisted_float"]["dtype"], "float64");
  auto loaded = store.load();
  const auto& flags = loaded->data.matrix("flags_as_float");
  EXPECT_EQ(flags.cell_type(), CellType::float64);
  EXPECT_CELLS(flags, {{1.0, 0.0}, {0.0, 1.0}});
  const auto& numbers = loaded->data.matrix("numbers_as_bool");
  EXPECT_EQ(numbers.cell_type(), CellType::boolean);
  EXPECT_CELLS(numbers, {{0, 0}, {1, 1}});

  expect_error<ValueError>([&] { store._write_matrix(dir.path(), "x", flags, "int32"); },
                           "unsupported storage dtype: int32 (expected float64 or bool)");
}

// A store written elsewhere may list its dates out of order (this library refuses to write one): a load
// keeps the rows whose label is in the range, in file order.
TEST(StoreBaseTest, RowsOutOfOrderAreFilteredByLabel) {
  TempDir dir;
  auto store = base_store(dir.path());
  Payload payload;
  payload.version = 1;
  payload.data.set_matrix("close_price",
                          testing::matrix({"20240101", "20240102", "20240103", "20240105"}, {"A"}, {{1}, {2}, {3}, {5}}));
  store.write(payload);
  Value metadata = store.load_metadata();
  metadata["datasets"]["close_price"]["index"] = Value::array({"20240105", "20240101", "20240103", "20240102"});
  store._write_metadata(metadata);
  for (bool mmap : {true, false}) {
    auto loaded = store.load("20240102", "20240104", std::nullopt, mmap);
    const auto& close = loaded->data.matrix("close_price");
    EXPECT_LABELS(close, ({"20240103", "20240102"}), ({"A"}));
    EXPECT_CELLS(close, {{3}, {5}});
    loaded = store.load("20240101", "20240103", std::nullopt, mmap);
    EXPECT_CELLS(loaded->data.matrix("close_price"), {{2}, {3}, {5}});
  }
}

TEST(StoreBaseTest, RewriteKeepsMappedMatricesValidAndLeavesOnlyNamedFiles) {
  TempDir dir;
  auto store = base_store(dir.path());
  Payload first = sample_payload(12, 6, 4, COMPONENTS);
  Payload second = sample_payload(15, 5, 5, {COMPONENTS[0]});
  store.write(first);
  auto mapped = store.load(std::nullopt, std::nullopt, std::nullopt, true);
  std::set<std::string> first_files = directory_names(dir.path());

  store.write(second);
  // The old files are gone from the directory, yet the mapped matrices still read the old cells.
  expect_same_payload(first, *mapped);
  expect_same_payload(second, *store.load());

  std::set<std::string> expected = {METADATA_FILE_NAME, MANIFEST_FILE_NAME};
  Value metadata = store.load_metadata();
  for (const char* section : {"datasets", "benchmark_dict"}) {
    for (const auto& [key, entry] : metadata[section].items()) expected.insert(entry["file"].get<std::string>());
  }
  std::set<std::string> now = directory_names(dir.path());
  EXPECT_EQ(now, expected);
  for (const auto& name : first_files) {
    if (name != METADATA_FILE_NAME && name != MANIFEST_FILE_NAME) {
      EXPECT_EQ(now.count(name), 0u) << name;
    }
  }
}

TEST(StoreBaseTest, AFailedRewriteLeavesTheOldStoreAndNoStrayFiles) {
  TempDir dir;
  Payload old_payload = sample_payload(7, 3, 8, COMPONENTS);
  base_store(dir.path()).write(old_payload);
  std::set<std::string> before = directory_names(dir.path());

  // The last dataset cannot be written: the files written before it are removed again.
  OrderedMap<std::string> dtype = BASE_MATRIX_DTYPE;
  dtype.set("broken", "float16");
  BinaryPreparedDataStoreBase store(dir.path(), dtype, PREPARED_DATA_VERSION, FLOAT_STORAGE_DTYPE);
  Payload new_payload = sample_payload(9, 4, 9, COMPONENTS);
  new_payload.data.set_matrix("broken", new_payload.data.matrix("close_price"));
  expect_error<ValueError>([&] { store.write(new_payload); },
                           "unsupported storage dtype: float16 (expected float64 or bool)");
  EXPECT_EQ(directory_names(dir.path()), before);
  expect_same_payload(old_payload, *store.load());
  EXPECT_NO_THROW(store.verify());
}

// A store whose load first lets a rewrite happen between reading the metadata and opening the files, the
// way a concurrent writer can.
class RacedStore : public BinaryPreparedDataStoreBase {
 public:
  RacedStore(const fs::path& dir, std::function<void()> writer)
      : BinaryPreparedDataStoreBase(dir, BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION, FLOAT_STORAGE_DTYPE),
        writer_(std::move(writer)) {}

  std::optional<Payload> load_during_rewrite(int& attempts) const {
    return load_consistently([&](const std::optional<Value>& metadata) {
      if (++attempts == 1) writer_();
      return load_with(metadata, std::nullopt, std::nullopt, std::nullopt, true);
    });
  }

 private:
  std::function<void()> writer_;
};

TEST(StoreBaseTest, ALoadThatLosesItsFilesToARewriteStartsOverOnTheNewMetadata) {
  TempDir dir;
  auto store = base_store(dir.path());
  Payload first = sample_payload(6, 3, 10, COMPONENTS);
  Payload second = sample_payload(8, 2, 11, COMPONENTS);
  store.write(first);

  int attempts = 0;
  RacedStore raced(dir.path(), [&] { store.write(second); });
  auto loaded = raced.load_during_rewrite(attempts);
  EXPECT_EQ(attempts, 2);
  expect_same_payload(second, *loaded);

  // A file missing without any change of the metadata is an error at once.
  fs::remove(dir / store.load_metadata()["datasets"]["close_price"]["file"].get<std::string>());
  attempts = 0;
  RacedStore unchanged(dir.path(), [] {});
  expect_error<VelmoraError>([&] { unchanged.load_during_rewrite(attempts); },
                             "dataset \"close_price\" cannot be loaded: cannot open " +
                                 (dir / store.load_metadata()["datasets"]["close_price"]["file"].get<std::string>()).string() +
                                 ": No such file or directory");
  EXPECT_EQ(attempts, 1);
}

TEST(StoreBaseTest, MetadataRecordsEveryDatasetWithItsLabelsAndChecksums) {
  TempDir dir;
  auto store = base_store(dir.path());
  Payload payload = sample_payload(4, 3, 6, COMPONENTS);
  store.write(payload);
  Value metadata = store.load_metadata();
  EXPECT_EQ(metadata["version"], 1);
  EXPECT_EQ(metadata["meta"], payload.meta);
  EXPECT_TRUE(metadata["updated_at"].is_string());
  EXPECT_EQ(metadata["datasets"].size(), 12u + COMPONENTS.size());
  const Value& close = metadata["datasets"]["close_price"];
  EXPECT_EQ(close["shape"], Value::array({4, 3}));
  EXPECT_EQ(close["index"], Value(payload.data.matrix("close_price").row_labels().names()));
  EXPECT_EQ(close["columns"], Value(payload.data.matrix("close_price").column_labels().names()));
  EXPECT_EQ(metadata["benchmark_dict"]["000852"]["index"], close["index"]);
  EXPECT_NO_THROW(store.verify());

  // One flipped byte in a data file is found and named.
  std::string file = close["file"].get<std::string>();
  std::string bytes = testing::read_file(dir / file);
  bytes[bytes.size() - 1] ^= 0x01;
  testing::write_file(dir / file, bytes);
  expect_error<VelmoraError>([&] { store.verify(); },
                             "store file " + file + " does not match the manifest: CRC-32 " + [&] {
                               // the new checksum, as Python's zlib.crc32 would print it
                               std::string out;
                               testing::run_python("import sys, zlib\nprint('%08x' % zlib.crc32(open(sys.argv[1], 'rb').read()), end='')",
                                                   {(dir / file).string()}, out);
                               return out;
                             }() + ", expected " + close["crc32"].get<std::string>());
}

}  // namespace
}  // namespace velmora::backtest

namespace velmora::backtest {
namespace {

// A rewrite or a supplement removes only files the store can prove it wrote: never a user's file, even one
// named exactly like a data file of the store.
TEST(StoreBaseTest, RewritesNeverRemoveFilesTheStoreDidNotWrite) {
  TempDir dir;
  BinaryPreparedDataStore store(dir.path(), COMPONENTS);
  store.write(sample_payload(7, 3, 1, {COMPONENTS[0]}));
  const std::map<std::string, std::string> foreign = {
      {"returns.1234567890abcdef.npy", "a user's own returns"},
      {"close_price.0123456789abcdef.npy", "named like one of ours"},
      {"benchmark__000300.fedcba9876543210.npy", "named like a series of ours"},
      {"notes.txt", "notes"},
      // Only the store's own temporaries go: these resemble them but have a token one digit short or long.
      {"metadata.pkl.0123456789abcde.tmp", "one digit short"},
      {"manifest.json.0123456789abcdef0.tmp", "one digit long"},
  };
  for (const auto& [name, bytes] : foreign) testing::write_file(dir / name, bytes);

  store.write(sample_payload(9, 4, 2, {COMPONENTS[0]}));
  const Payload third = sample_payload(6, 5, 3, {COMPONENTS[0]});
  store.write(third);
  OrderedMap<WideMatrix> masks;
  masks.set(COMPONENTS[1], testing::mask_matrix(third.data.matrix("close_price").row_labels(),
                                                third.data.matrix("close_price").column_labels(), 4));
  store.add_component_matrices(masks, COMPONENTS);

  for (const auto& [name, bytes] : foreign) EXPECT_EQ(testing::read_file(dir / name), bytes) << name;
  std::set<std::string> expected = {METADATA_FILE_NAME, MANIFEST_FILE_NAME};
  for (const auto& [name, bytes] : foreign) expected.insert(name);
  Value metadata = store.load_metadata();
  for (const char* section : {"datasets", "benchmark_dict"}) {
    for (const auto& [key, entry] : metadata[section].items()) expected.insert(entry["file"].get<std::string>());
  }
  EXPECT_EQ(directory_names(dir.path()), expected) << "only the store's own earlier files are gone";
}

// Files an interrupted write created are recorded as it creates them, so the next write removes them.
TEST(StoreBaseTest, FilesOfAnInterruptedWriteGoWithTheNextWrite) {
  TempDir dir;
  BinaryPreparedDataStoreBase store = base_store(dir.path());
  store.write(sample_payload(5, 3, 1, {}));
  const std::set<std::string> sound = directory_names(dir.path());
  // What a writer killed after creating two data files leaves: the files and their record.
  testing::write_file(dir / "open_price.00000000000000aa.npy", "half written");
  testing::write_file(dir / "open_price.00000000000000bb.npy", "");
  testing::write_file(dir / ".pending_files", "open_price.00000000000000aa.npy\nopen_price.00000000000000bb.npy\n");
  testing::write_file(dir / "returns.00000000000000cc.npy", "not recorded: not ours");
  // What a writer killed while replacing the metadata or the manifest leaves.
  testing::write_file(dir / "metadata.pkl.00000000000000dd.tmp", "half a pickle");
  testing::write_file(dir / "manifest.json.00000000000000ee.tmp", "{");

  const Payload second = sample_payload(6, 2, 2, {});
  store.write(second);
  std::set<std::string> names = directory_names(dir.path());
  EXPECT_EQ(names.count("open_price.00000000000000aa.npy") + names.count("open_price.00000000000000bb.npy"), 0u);
  EXPECT_EQ(names.count("metadata.pkl.00000000000000dd.tmp") + names.count("manifest.json.00000000000000ee.tmp"), 0u);
  EXPECT_EQ(names.count(".pending_files"), 0u) << "the record goes once it is seen through";
  EXPECT_EQ(names.count("returns.00000000000000cc.npy"), 1u);
  EXPECT_EQ(names.size(), sound.size() + 1);
  expect_same_payload(second, *store.load());
}

}  // namespace
}  // namespace velmora::backtest
