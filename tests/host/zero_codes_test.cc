// The factor column's codes: every row 0 whatever buffer serves them, and a dropped column's buffer serves
// the next one instead of fresh memory.

#include "sqlite/zero_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace velmora::sqlite_io {
namespace {

bool all_zero(const std::vector<std::int32_t>& codes) {
  return std::all_of(codes.begin(), codes.end(), [](std::int32_t code) { return code == 0; });
}

TEST(ZeroCodes, ADroppedBufferServesTheNextColumnShorterOrLongerAndStaysAllZero) {
  ZeroCodes zeros;
  auto first = zeros.take(1000);
  ASSERT_EQ(first->size(), 1000u);
  EXPECT_TRUE(all_zero(*first));
  const std::int32_t* buffer = first->data();
  first.reset();

  auto shorter = zeros.take(10);
  EXPECT_EQ(shorter->data(), buffer);
  EXPECT_EQ(shorter->size(), 10u);
  // A buffer still held is never handed out twice.
  auto while_held = zeros.take(10);
  EXPECT_NE(while_held->data(), shorter->data());
  shorter.reset();
  while_held.reset();

  auto longer = zeros.take(5000);
  EXPECT_EQ(longer->size(), 5000u);
  EXPECT_TRUE(all_zero(*longer));
  auto none = zeros.take(0);
  EXPECT_TRUE(none->empty());
}

TEST(ZeroCodes, ColumnsOutliveTheirPoolAndMayBeDroppedOnAnotherThread) {
  std::shared_ptr<const std::vector<std::int32_t>> kept;
  {
    ZeroCodes zeros;
    kept = zeros.take(64);
  }
  std::thread([held = std::move(kept)]() mutable { held.reset(); }).join();
  EXPECT_FALSE(kept);
}

}  // namespace
}  // namespace velmora::sqlite_io
