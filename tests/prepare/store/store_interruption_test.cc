// A store write stopped by an interruption request, on a real store: stopped before its metadata, it
// leaves the old store file for file and nothing for clean to find.

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/dir_snapshot.h"
#include "support/interruption_scope.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/store_leftovers.h"
#include "velmora/interruption.h"

namespace velmora::backtest {
namespace {

TEST(StoreInterruption, AWriteStoppedBeforeItsMetadataLeavesTheOldStoreAndNoLeftover) {
  testing::TempDir dir;
  const std::filesystem::path store_dir = dir / "store";
  BinaryPreparedDataStore store(store_dir);
  const Payload payload = testing::sample_payload(6, 4, 1, {});
  store.write(payload);
  const testing::DirSnapshot before = testing::snapshot_dir(store_dir);
  {
    testing::InterruptionScope interrupted;
    EXPECT_THROW(store.write(testing::sample_payload(8, 5, 2, {})), InterruptedError);
  }
  EXPECT_EQ(testing::snapshot_dir(store_dir), before);
  EXPECT_TRUE(store_write_leftovers(store_dir).empty());
  testing::expect_same_payload(payload, *store.load());

  store.write(testing::sample_payload(8, 5, 2, {}));  // cleared, the next write goes through
  EXPECT_EQ(store.load()->data.matrix("close_price").rows(), 8u);
}

TEST(StoreInterruption, AFirstWriteStoppedLeavesNoDataFile) {
  testing::TempDir dir;
  const std::filesystem::path store_dir = dir / "store";
  {
    testing::InterruptionScope interrupted;
    EXPECT_THROW(BinaryPreparedDataStore(store_dir).write(testing::sample_payload(6, 4, 1, {})), InterruptedError);
  }
  EXPECT_EQ(testing::snapshot_dir(store_dir), testing::DirSnapshot{});
}

}  // namespace
}  // namespace velmora::backtest
