// The leftovers of the store's own interrupted writes, on a real store: each kind listed with its size,
// removed under the writer lock, the store still sound and loading, the user's own files never touched.

#include "velmora/backtest/store_leftovers.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store.h"
#include "velmora/store_manifest.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// The names and kinds of `found`; while they are still on disk, each size is checked against the file's.
std::vector<std::pair<std::string, std::string>> names_and_kinds(const std::vector<StoreLeftover>& found,
                                                                 bool on_disk = true) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& leftover : found) {
    if (on_disk) {
      EXPECT_EQ(leftover.bytes, fs::file_size(leftover.path)) << leftover.path;
    }
    out.emplace_back(leftover.path.filename().string(), leftover.kind);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(StoreLeftovers, EachKindIsListedThenRemovedAndTheStoreStaysSound) {
  TempDir dir;
  const fs::path store_dir = dir / "store";
  BinaryPreparedDataStore store(store_dir);
  const Payload payload = testing::sample_payload(6, 4, 1, {});
  store.write(payload);
  ASSERT_TRUE(store_write_leftovers(store_dir).empty());
  const std::string named = store.load_metadata()["datasets"]["close_price"]["file"].get<std::string>();

  // A write killed while writing: two recorded files, one of them never created; a named file recorded
  // before the switch stays the store's.
  write_file(store_dir / "close_price.00000000000000aa.npy", std::string(40, 'p'));
  write_file(store_dir / ".pending_files",
             "close_price.00000000000000aa.npy\nopen_price.00000000000000bb.npy\n" + named + "\n");
  write_file(store_dir / "metadata.pkl.0123456789abcdef.tmp", "half a pickle");
  write_file(store_dir / "manifest.json.0123456789abcdef.tmp", "{");
  // The user's own files, one named like a data file, one recorded nowhere.
  write_file(store_dir / "returns.1234567890abcdef.npy", "mine");
  write_file(store_dir / "notes.txt", "mine too");

  const std::vector<std::pair<std::string, std::string>> expected{
      {".pending_files", "record of an unfinished write"},
      {"close_price.00000000000000aa.npy", "partial or replaced file of an unfinished write"},
      {"manifest.json.0123456789abcdef.tmp", "temporary file of an interrupted write"},
      {"metadata.pkl.0123456789abcdef.tmp", "temporary file of an interrupted write"}};
  const std::vector<StoreLeftover> listed = store_write_leftovers(store_dir);
  EXPECT_EQ(names_and_kinds(listed), expected);
  // The record goes last, so that a removal cut short still knows the files it records.
  EXPECT_EQ(std::find_if(listed.begin(), listed.end(),
                         [](const StoreLeftover& left) { return left.path.filename() == ".pending_files"; }) -
                listed.begin(),
            1);
  EXPECT_EQ(names_and_kinds(remove_leftovers(store_dir, {store_write_leftovers}, {}), false), expected);

  EXPECT_TRUE(store_write_leftovers(store_dir).empty());
  EXPECT_TRUE(store.faults().empty());
  testing::expect_same_payload(payload, *store.load());
  EXPECT_EQ(read_file(store_dir / "returns.1234567890abcdef.npy"), "mine");
  EXPECT_EQ(read_file(store_dir / "notes.txt"), "mine too");
}

TEST(StoreLeftovers, AFileTheManifestListsAndTheMetadataNoLongerNamesIsTheStoresOwn) {
  TempDir dir;
  const fs::path store_dir = dir / "store";
  BinaryPreparedDataStore store(store_dir);
  store.write(testing::sample_payload(5, 3, 1, {}));
  const std::string old_manifest = read_file(store_dir / "manifest.json");
  const std::string old_file = store.load_metadata()["datasets"]["open_price"]["file"].get<std::string>();
  const std::string old_bytes = read_file(store_dir / old_file);
  store.write(testing::sample_payload(5, 3, 2, {}));
  // The writer died after the metadata switched and before the manifest did: the old manifest names an
  // old file that the write had already removed, which is back here as a dead writer may leave it.
  write_file(store_dir / "manifest.json", old_manifest);
  write_file(store_dir / old_file, old_bytes);
  write_file(store_dir / "returns.1234567890abcdef.npy", "mine");

  const std::vector<StoreLeftover> listed = store_write_leftovers(store_dir);
  ASSERT_FALSE(listed.empty());
  for (const auto& leftover : listed) EXPECT_EQ(leftover.kind, "unreferenced file of the store");
  EXPECT_NE(std::find_if(listed.begin(), listed.end(),
                         [&](const StoreLeftover& left) { return left.path.filename() == old_file; }),
            listed.end());
  remove_leftovers(store_dir, {store_write_leftovers}, {});
  EXPECT_FALSE(fs::exists(store_dir / old_file));
  EXPECT_TRUE(store.load().has_value());
  EXPECT_EQ(read_file(store_dir / "returns.1234567890abcdef.npy"), "mine");
}

}  // namespace
}  // namespace velmora::backtest
