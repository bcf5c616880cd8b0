// The component-aware store: its matrix dtype map, `load` reading only the datasets the metadata lists, and
// supplementing component matrices into an existing store.

#include "velmora/backtest/store.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/matrix_builders.h"
#include "support/temp_dir.h"
#include "velmora/backtest/matrix_dtype.h"
#include "velmora/errors.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::read_file;
using testing::sample_payload;
using testing::TempDir;

const std::string HS300 = "rq_index_components_new_000300.XSHG";
const std::string CSI500 = "rq_index_components_new_000905.XSHG";
const std::string CSI1000 = "rq_index_components_new_000852.XSHG";

std::vector<std::string> keys_of(const OrderedMap<std::string>& map) { return map.keys(); }

std::vector<std::string> base_keys_then(const std::vector<std::string>& names) {
  std::vector<std::string> keys = BASE_MATRIX_DTYPE.keys();
  for (const auto& name : names) keys.push_back(component_dataset_key(name));
  return keys;
}

TEST(MatrixDtypeTest, BaseDatasetsThenOneFloatDatasetPerComponentName) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::string>> names;
    std::vector<std::string> expected_keys;
  };
  const Case cases[] = {
      {"nothing: the built-in names", std::nullopt, base_keys_then(COMPONENT_FACTOR_NAMES)},
      {"empty list", std::vector<std::string>{}, BASE_MATRIX_DTYPE.keys()},
      {"one empty text", std::vector<std::string>{""}, BASE_MATRIX_DTYPE.keys()},
      {"duplicate and spaced", std::vector<std::string>{CSI500, " " + CSI500 + "\t", HS300}, base_keys_then({CSI500, HS300})},
  };
  for (const auto& c : cases) {
    auto dtype = build_matrix_dtype(c.names);
    EXPECT_EQ(keys_of(dtype), c.expected_keys) << c.name;
    for (const auto& [key, type] : dtype) {
      const std::string* base = BASE_MATRIX_DTYPE.find(key);
      EXPECT_EQ(type, base ? *base : std::string("float64")) << c.name << " " << key;
    }
  }
  EXPECT_EQ(keys_of(build_matrix_dtype(Value(nullptr))), base_keys_then(COMPONENT_FACTOR_NAMES));
  EXPECT_EQ(keys_of(build_matrix_dtype(Value::array({CSI1000, 7}))), base_keys_then({CSI1000, "7"}));
  expect_error<TypeError>([] { build_matrix_dtype(Value(HS300)); }, "component_names must be a list or None, not string");
  expect_error<TypeError>([] { build_matrix_dtype(Value(3)); }, "component_names must be a list or None, not number");
  expect_error<TypeError>([] { BinaryPreparedDataStore("x", Value::object()); },
                          "component_names must be a list or None, not object");
}

TEST(ComponentStoreTest, LoadReadsTheListedDatasetsInDtypeOrderOnly) {
  TempDir dir;
  // Written by a store that knows one extra dataset and lists the base datasets in reverse order.
  Payload payload = sample_payload(8, 4, 1, {});
  Payload reversed;
  reversed.version = payload.version;
  reversed.meta = payload.meta;
  auto keys = BASE_MATRIX_DTYPE.keys();
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) reversed.data.set_matrix(*it, payload.data.matrix(*it));
  reversed.data.set_matrix("extra_dataset", payload.data.matrix("close_price"));
  reversed.data.set_benchmark_dict(*payload.data.benchmark_dict());
  BinaryPreparedDataStore(dir.path()).write(reversed);

  BinaryPreparedDataStore store(dir.path());  // matrix_dtype also holds the five built-in component keys
  auto loaded = store.load();
  ASSERT_TRUE(loaded.has_value());
  std::vector<std::string> expected = BASE_MATRIX_DTYPE.keys();
  expected.push_back("benchmark_dict");
  EXPECT_EQ(loaded->data.keys(), expected);
  testing::expect_same_payload(payload, *loaded);

  auto none = store.load(std::nullopt, std::nullopt, std::vector<std::string>{}, true);
  EXPECT_EQ(none->data.keys(), (std::vector<std::string>{"benchmark_dict"}));
  auto extra = store.load(std::nullopt, std::nullopt, std::vector<std::string>{"extra_dataset"}, false);
  EXPECT_TRUE(identical(extra->data.matrix("extra_dataset"), payload.data.matrix("close_price")));

  auto ranged = store.load(Value("2015-01-07"), Value(nullptr), Value(nullptr), false);
  testing::expect_same_payload(payload, *ranged, "20150107", std::nullopt);
  expect_error<TypeError>([&] { store.load(Value(nullptr), Value(nullptr), Value("close_price"), true); },
                          "keys must be a list or None, not string");
  expect_error<TypeError>([&] { store.load(Value(nullptr), Value(nullptr), Value::array({1}), true); },
                          "keys must hold texts only, not number");
  expect_error<TypeError>([&] { store.load(Value(20240101), Value(nullptr), Value(nullptr), true); },
                          "start_date must be a text or None, not number");
  EXPECT_FALSE(BinaryPreparedDataStore(dir / "empty").load().has_value());
}

class SupplementTest : public ::testing::Test {
 protected:
  // A store built with HS300 only, though the store's list also holds CSI500.
  void SetUp() override {
    payload_ = sample_payload(10, 5, 3, {HS300});
    store_.emplace(dir_.path(), std::vector<std::string>{HS300, CSI500});
    store_->write(payload_);
    const auto& close = payload_.data.matrix("close_price");
    csi500_ = testing::mask_matrix(close.row_labels(), close.column_labels(), 5);
  }

  const BinaryPreparedDataStore& store() const { return *store_; }

  TempDir dir_;
  Payload payload_;
  std::optional<BinaryPreparedDataStore> store_;
  WideMatrix csi500_;
};

TEST_F(SupplementTest, WritesOnlyTheMissingComponentAndRegistersIt) {
  OrderedMap<WideMatrix> matrices;
  matrices.set(CSI500, csi500_);  // HS300 has no matrix here: it is present in the store, so none is needed
  Value before = store().load_metadata();

  auto written = store().add_component_matrices(matrices, std::vector<std::string>{HS300, " " + CSI500 + " ", CSI500});
  EXPECT_EQ(written, std::vector<std::string>{CSI500});

  Value after = store().load_metadata();
  const Value& meta = after["meta"];
  EXPECT_EQ(meta["component_names"], Value::array({HS300, CSI500}));
  EXPECT_EQ(meta["component_dataset_keys"],
            Value::object({{HS300, component_dataset_key(HS300)}, {CSI500, component_dataset_key(CSI500)}}));
  EXPECT_EQ(after["updated_at"], meta["updated_at"]);
  EXPECT_EQ(meta["component_supplemented_at"], meta["updated_at"]);
  EXPECT_NE(after["updated_at"], before["updated_at"]);
  EXPECT_EQ(meta["created_at"], before["meta"]["created_at"]);
  EXPECT_EQ(after["datasets"][component_dataset_key(CSI500)]["dtype"], "float64");
  EXPECT_EQ(after["datasets"][component_dataset_key(HS300)], before["datasets"][component_dataset_key(HS300)]);

  auto loaded = store().load();
  ASSERT_TRUE(loaded->data.contains(component_dataset_key(CSI500)));
  EXPECT_TRUE(identical(loaded->data.matrix(component_dataset_key(CSI500)), csi500_));
  EXPECT_TRUE(identical(loaded->data.matrix(component_dataset_key(HS300)),
                        payload_.data.matrix(component_dataset_key(HS300))));
  EXPECT_NO_THROW(store().verify());

  // A second call finds everything present: nothing written, the metadata file untouched.
  std::string bytes = read_file(store().metadata_path());
  EXPECT_TRUE(store().add_component_matrices({}, std::vector<std::string>{CSI500, HS300}).empty());
  EXPECT_EQ(read_file(store().metadata_path()), bytes);
}

TEST_F(SupplementTest, MergesNamesWithTheExistingListAndKeepsOtherKeys) {
  // The stored meta lists a name whose dataset is gone and maps an unrelated name: both stay.
  Value metadata = store().load_metadata();
  metadata["meta"]["component_names"] = Value::array({CSI1000, HS300});
  metadata["meta"]["component_dataset_keys"]["legacy"] = "legacy_key";
  store()._write_metadata(metadata);

  OrderedMap<WideMatrix> matrices;
  matrices.set(CSI500, csi500_.astype(CellType::boolean));
  EXPECT_EQ(store().add_component_matrices(matrices, Value::array({CSI500, HS300})), std::vector<std::string>{CSI500});
  Value meta = store().load_metadata()["meta"];
  EXPECT_EQ(meta["component_names"], Value::array({CSI1000, HS300, CSI500}));
  EXPECT_EQ(meta["component_dataset_keys"]["legacy"], "legacy_key");
  EXPECT_EQ(meta["component_dataset_keys"][CSI1000], component_dataset_key(CSI1000));
  // A bool mask is stored as float64: true → 1.0, false → 0.0.
  auto loaded = store().load();
  const auto& stored = loaded->data.matrix(component_dataset_key(CSI500));
  EXPECT_EQ(stored.cell_type(), CellType::float64);
  EXPECT_TRUE(identical(stored, csi500_.astype(CellType::boolean).astype(CellType::float64)));
}

TEST_F(SupplementTest, AMissingOrRowlessMatrixStopsWithoutTouchingTheMetadata) {
  std::string bytes = read_file(store().metadata_path());
  struct Case {
    const char* name;
    OrderedMap<WideMatrix> matrices;
  };
  OrderedMap<WideMatrix> rowless;
  rowless.set(CSI500, WideMatrix::from_grid({}, Labels{}, Labels{"600000"}));
  OrderedMap<WideMatrix> other_name;
  other_name.set(CSI1000, csi500_);
  const Case cases[] = {{"no matrices", {}}, {"rowless", rowless}, {"other name", other_name}};
  for (const auto& c : cases) {
    expect_error<ValueError>([&] { store().add_component_matrices(c.matrices, std::vector<std::string>{CSI500}); },
                             "缺失成分股矩阵为空，无法补充: " + CSI500);
    EXPECT_EQ(read_file(store().metadata_path()), bytes) << c.name;
  }
  expect_error<TypeError>([&] { store().add_component_matrices({}, Value(CSI500)); },
                          "component_names must be a list, not string");
}

TEST_F(SupplementTest, AFailureAfterEarlierNamesLeavesThemUnregistered) {
  const std::string extra = "rq_index_components_new_399303.XSHE";
  BinaryPreparedDataStore store(dir_.path(), std::vector<std::string>{HS300, CSI500, extra});
  OrderedMap<WideMatrix> matrices;
  matrices.set(CSI500, csi500_);
  expect_error<ValueError>(
      [&] { store.add_component_matrices(matrices, std::vector<std::string>{CSI500, extra}); },
      "缺失成分股矩阵为空，无法补充: " + extra);
  EXPECT_FALSE(store.load_metadata()["datasets"].contains(component_dataset_key(CSI500)));
  EXPECT_FALSE(store.load()->data.contains(component_dataset_key(CSI500)));

  // A later call writes it again, and the leftover file of the failed call is swept away.
  EXPECT_EQ(store.add_component_matrices(matrices, std::vector<std::string>{CSI500}), std::vector<std::string>{CSI500});
  std::size_t files = 0;
  for (const auto& item : fs::directory_iterator(dir_.path())) files += item.path().extension() == ".npy";
  EXPECT_EQ(files, store.load_metadata()["datasets"].size() + store.load_metadata()["benchmark_dict"].size());
}

}  // namespace
}  // namespace velmora::backtest
