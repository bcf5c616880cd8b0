// Damaged stores on disk: truncated and altered data files, missing files, hostile or broken metadata. Each
// load fails with an error that names the dataset (or the metadata file) and the reason, mapped or read,
// and never crashes or returns cells.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store_base.h"
#include "velmora/errors.h"
#include "velmora/pickle.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::expect_error;
using testing::read_file;
using testing::sample_payload;
using testing::TempDir;
using testing::write_file;

class DamagedStore {
 public:
  DamagedStore() : store_(dir_.path(), BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION, FLOAT_STORAGE_DTYPE) {
    store_.write(sample_payload(5, 3, 1, {}));
    metadata_ = store_.load_metadata();
  }

  const BinaryPreparedDataStoreBase& store() const { return store_; }
  const fs::path& dir() const { return dir_.path(); }
  std::string file_of(const std::string& key) const { return metadata_["datasets"][key]["file"].get<std::string>(); }
  std::string benchmark_file(const std::string& name) const {
    return metadata_["benchmark_dict"][name]["file"].get<std::string>();
  }
  fs::path path_of(const std::string& key) const { return dir_.path() / file_of(key); }

  // Replaces the first occurrence of `from` by `to` in a file.
  void edit(const fs::path& path, const std::string& from, const std::string& to) const {
    std::string bytes = read_file(path);
    auto at = bytes.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    bytes.replace(at, from.size(), to);
    write_file(path, bytes);
  }

  void edit_metadata(const std::function<void(Value&)>& change) const {
    Value metadata = store_.load_metadata();
    change(metadata);
    write_file(store_.metadata_path(), pickle_dumps(metadata));
  }

 private:
  TempDir dir_;
  BinaryPreparedDataStoreBase store_;
  Value metadata_;
};

struct DatasetFault {
  const char* name;
  std::string key;  // the dataset (or benchmark) the error names
  std::function<void(const DamagedStore&)> damage;
  std::function<std::string(const DamagedStore&)> reason;
};

// Every damage of one dataset or series that a load reports, with its reason.
std::vector<DatasetFault> dataset_faults() {
  return {
      {"truncated", "close_price",
       [](const DamagedStore& s) { fs::resize_file(s.path_of("close_price"), fs::file_size(s.path_of("close_price")) - 5); },
       [](const DamagedStore& s) {
         auto size = fs::file_size(s.path_of("close_price"));
         return "file " + s.file_of("close_price") + " holds " + std::to_string(size) + " bytes, its header describes " +
                std::to_string(size + 5);
       }},
      {"longer than its header", "open_price",
       [](const DamagedStore& s) { std::ofstream(s.path_of("open_price"), std::ios::app) << "extra"; },
       [](const DamagedStore& s) {
         auto size = fs::file_size(s.path_of("open_price"));
         return "file " + s.file_of("open_price") + " holds " + std::to_string(size) + " bytes, its header describes " +
                std::to_string(size - 5);
       }},
      {"missing", "prev_close", [](const DamagedStore& s) { fs::remove(s.path_of("prev_close")); },
       [](const DamagedStore& s) { return "cannot open " + s.path_of("prev_close").string() + ": No such file or directory"; }},
      {"three bytes", "buy_price", [](const DamagedStore& s) { write_file(s.path_of("buy_price"), "\x93NU"); },
       [](const DamagedStore&) { return std::string("not a .npy file"); }},
      {"not npy", "sell_price", [](const DamagedStore& s) { write_file(s.path_of("sell_price"), std::string(200, 'x')); },
       [](const DamagedStore&) { return std::string("not a .npy file"); }},
      {"future version", "sell_price", [](const DamagedStore& s) { s.edit(s.path_of("sell_price"), "NUMPY\x01", "NUMPY\x09"); },
       [](const DamagedStore&) { return std::string("unsupported .npy format version 9.0"); }},
      {"garbled header", "rq_get_split", [](const DamagedStore& s) { s.edit(s.path_of("rq_get_split"), "'descr'", "'descx'"); },
       [](const DamagedStore&) { return std::string("unreadable .npy header"); }},
      {"float32 cells", "rq_get_dividend", [](const DamagedStore& s) { s.edit(s.path_of("rq_get_dividend"), "<f8", "<f4"); },
       [](const DamagedStore&) { return std::string("unsupported .npy element type '<f4' (expected '<f8' or '|b1')"); }},
      {"fortran order", "industry_matrix",
       [](const DamagedStore& s) { s.edit(s.path_of("industry_matrix"), "'fortran_order': False", "'fortran_order': True "); },
       [](const DamagedStore&) { return std::string("Fortran-order .npy data is not supported"); }},
      {"transposed shape", "close_price_valid",
       [](const DamagedStore& s) { s.edit(s.path_of("close_price_valid"), "(5, 3)", "(3, 5)"); },
       [](const DamagedStore& s) {
         return "file " + s.file_of("close_price_valid") + " holds an array of another shape than its metadata entry";
       }},
      {"bool byte 7", "can_buy_stock",
       [](const DamagedStore& s) {
         std::string bytes = read_file(s.path_of("can_buy_stock"));
         bytes[bytes.size() - 4] = 7;
         write_file(s.path_of("can_buy_stock"), bytes);
       },
       [](const DamagedStore&) { return std::string("a bool cell holds a byte other than 0 and 1"); }},
      {"file escapes the store", "close_price",
       [](const DamagedStore& s) { s.edit_metadata([](Value& m) { m["datasets"]["close_price"]["file"] = "../close.npy"; }); },
       [](const DamagedStore&) { return std::string("its file path \"../close.npy\" leaves the store directory"); }},
      {"absolute file", "close_price",
       [](const DamagedStore& s) { s.edit_metadata([](Value& m) { m["datasets"]["close_price"]["file"] = "/etc/passwd"; }); },
       [](const DamagedStore&) { return std::string("its file path \"/etc/passwd\" leaves the store directory"); }},
      {"entry shape disagrees with labels", "open_price",
       [](const DamagedStore& s) { s.edit_metadata([](Value& m) { m["datasets"]["open_price"]["shape"] = {4, 3}; }); },
       [](const DamagedStore&) { return std::string("its metadata shape does not match its row and column labels"); }},
      {"entry dtype disagrees with file", "open_price",
       [](const DamagedStore& s) { s.edit_metadata([](Value& m) { m["datasets"]["open_price"]["dtype"] = "bool"; }); },
       [](const DamagedStore& s) { return "file " + s.file_of("open_price") + " holds other cells than its metadata dtype bool"; }},
      {"entry without index", "open_price",
       [](const DamagedStore& s) { s.edit_metadata([](Value& m) { m["datasets"]["open_price"].erase("index"); }); },
       [](const DamagedStore&) { return std::string("its metadata entry has no valid \"index\""); }},
      {"entry not a map", "open_price",
       [](const DamagedStore& s) { s.edit_metadata([](Value& m) { m["datasets"]["open_price"] = 5; }); },
       [](const DamagedStore&) { return std::string("its metadata entry has no valid \"file\""); }},
      {"benchmark truncated", "000852",
       [](const DamagedStore& s) { fs::resize_file(s.dir() / s.benchmark_file("000852"), 130); },
       [](const DamagedStore& s) { return "file " + s.benchmark_file("000852") + " holds 130 bytes, its header describes 168"; }},
  };
}

std::string fault_text(const DatasetFault& fault, const DamagedStore& store) {
  std::string subject = std::string(fault.key).starts_with("000") ? "benchmark" : "dataset";
  return subject + " \"" + fault.key + "\" cannot be loaded: " + fault.reason(store);
}

TEST(StoreFaultTest, DamagedDataFilesAreNamedWithTheirReason) {
  for (const auto& fault : dataset_faults()) {
    for (bool mmap : {true, false}) {
      SCOPED_TRACE(std::string(fault.name) + (mmap ? " mapped" : " read"));
      DamagedStore store;
      fault.damage(store);
      bool nested = expect_error<VelmoraError>(
          [&] { store.store().load(std::nullopt, std::nullopt, std::nullopt, mmap); }, fault_text(fault, store));
      EXPECT_TRUE(nested);
    }
  }
}

bool lists(const std::vector<std::string>& faults, const std::string& text) {
  return std::find(faults.begin(), faults.end(), text) != faults.end();
}

TEST(StoreFaultTest, FaultsListsEveryHeaderAndMetadataDamage) {
  {
    DamagedStore sound;
    EXPECT_EQ(sound.store().faults(), std::vector<std::string>{});
  }
  for (const auto& fault : dataset_faults()) {
    if (std::string(fault.name) == "bool byte 7") continue;  // a cell, not a header: faults() reads no cells
    SCOPED_TRACE(fault.name);
    DamagedStore store;
    fault.damage(store);
    auto found = store.store().faults();
    EXPECT_TRUE(lists(found, fault_text(fault, store))) << ::testing::PrintToString(found);
  }
}

TEST(StoreFaultTest, FaultsListsEveryFaultNotOnlyTheFirst) {
  DamagedStore store;
  const std::string close = store.file_of("close_price");
  const auto close_size = fs::file_size(store.path_of("close_price"));
  fs::resize_file(store.path_of("close_price"), close_size - 8);
  fs::remove(store.path_of("open_price"));
  store.edit_metadata([](Value& m) { m["datasets"]["sell_price"]["columns"].push_back("999999"); });

  const std::vector<std::string> found = store.store().faults();
  std::vector<std::string> expected_manifest = {
      "store file metadata.pkl does not match the manifest: ",
      "store file " + close + " does not match the manifest: size " + std::to_string(close_size - 8) + ", expected " +
          std::to_string(close_size),
      "store file " + store.file_of("open_price") + " does not match the manifest: cannot open " +
          store.path_of("open_price").string() + ": No such file or directory",
  };
  for (const auto& text : expected_manifest) {
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const std::string& f) { return f.starts_with(text); }))
        << text << "\n" << ::testing::PrintToString(found);
  }
  for (const auto& text : {
           "dataset \"close_price\" cannot be loaded: file " + close + " holds " + std::to_string(close_size - 8) +
               " bytes, its header describes " + std::to_string(close_size),
           "dataset \"open_price\" cannot be loaded: cannot open " + store.path_of("open_price").string() +
               ": No such file or directory",
           std::string("dataset \"sell_price\" cannot be loaded: its metadata shape does not match its row and column labels"),
       }) {
    EXPECT_TRUE(lists(found, text)) << text << "\n" << ::testing::PrintToString(found);
  }
  EXPECT_EQ(found.size(), 6u) << ::testing::PrintToString(found);
  EXPECT_THROW(store.store().verify(), VelmoraError);
}

TEST(StoreFaultTest, FaultsOfAStoreWithoutManifestOrMetadata) {
  {
    DamagedStore store;
    fs::remove(store.store().manifest_path());
    EXPECT_EQ(store.store().faults(), std::vector<std::string>{"the store manifest is missing or unreadable"});
    write_file(store.store().manifest_path(), "{\"files\": 3}");
    EXPECT_EQ(store.store().faults(), std::vector<std::string>{"the store manifest is missing or unreadable"});
  }
  {
    DamagedStore store;
    write_file(store.store().metadata_path(), "not a pickle");
    auto found = store.store().faults();
    ASSERT_EQ(found.size(), 2u) << ::testing::PrintToString(found);
    EXPECT_TRUE(found[0].starts_with("store file metadata.pkl does not match the manifest: size 12"));
    EXPECT_TRUE(found[1].starts_with("store metadata " + store.store().metadata_path().string() + " is unreadable: "));
  }
  {
    TempDir empty;
    BinaryPreparedDataStoreBase store(empty.path(), BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION, FLOAT_STORAGE_DTYPE);
    EXPECT_EQ(store.faults(), (std::vector<std::string>{"the store manifest is missing or unreadable",
                                                        "store metadata " + store.metadata_path().string() + " is missing"}));
  }
}

TEST(StoreFaultTest, BrokenMetadataIsRefusedWithItsPath) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string reason;
  };
  const Case cases[] = {
      {"text", "not a pickle",
       "pickle opcode unknown (0x6e) is not allowed: only dict, list, tuple, str, int, float, bool and None can be read at byte 0"},
      {"empty", "", "pickle data ends without STOP"},
      {"a list", pickle_dumps(Value::array({1, 2})), "it does not hold a map"},
      {"datasets not a map", pickle_dumps(Value::object({{"datasets", Value::array()}})),
       "its metadata entry has no valid \"datasets\""},
  };
  for (const auto& c : cases) {
    DamagedStore store;
    write_file(store.store().metadata_path(), c.bytes);
    expect_error<VelmoraError>([&] { store.store().load(); },
                               "store metadata " + store.store().metadata_path().string() + " is unreadable: " + c.reason);
  }

  // A torn metadata file (half of it) is refused too, as a truncated frame.
  DamagedStore store;
  std::string bytes = read_file(store.store().metadata_path());
  write_file(store.store().metadata_path(), bytes.substr(0, bytes.size() / 2));
  bool nested = expect_error<VelmoraError>([&] { store.store().load_metadata(); },
                                           "store metadata " + store.store().metadata_path().string() +
                                               " is unreadable: pickle frame is truncated at byte 2");
  EXPECT_TRUE(nested);
}

TEST(StoreFaultTest, MetadataThatWouldRunCodeIsRefusedAndNothingRuns) {
  DamagedStore store;
  fs::path marker = store.dir() / "pwned";
  std::string script = R"PY(
import os, pickle, pickletools, sys
class Attack:
    def __reduce__(self):
        return (os.system, ("touch " + sys.argv[2],))
data = pickle.dumps({"version": 1, "datasets": {}, "meta": Attack()}, protocol=5)
open(sys.argv[1], "wb").write(data)
print(next(pos for op, arg, pos in pickletools.genops(data) if op.name == "STACK_GLOBAL"), end="")
)PY";
  std::string offset;
  ASSERT_EQ(testing::run_python(script, {store.store().metadata_path().string(), marker.string()}, offset), 0);
  expect_error<VelmoraError>([&] { store.store().load(); },
                             "store metadata " + store.store().metadata_path().string() +
                                 " is unreadable: pickle opcode STACK_GLOBAL (0x93) is not allowed: only dict, list, "
                                 "tuple, str, int, float, bool and None can be read at byte " + offset);
  EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
}  // namespace velmora::backtest
