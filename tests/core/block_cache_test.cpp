// The block cache hands freed blocks out again and never holds more than the
// most that was ever in use at once.
#include <gtest/gtest.h>

#include <cstring>

#include <torch/torch.h>

#include "lumora/core/block_cache.h"
#include "lumora/core/torch_compat.h"

namespace lumora {
namespace {

constexpr size_t MiB = size_t{1} << 20;

TEST(BlockCache, FreedBlocksServeTheNextRequestsOfTheirSize) {
  BlockCache cache;
  void* a = cache.take(8 * MiB);
  void* b = cache.take(4 * MiB);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
  std::memset(a, 1, 8 * MiB);  // the memory is really there
  EXPECT_TRUE(cache.give_back(a));
  EXPECT_TRUE(cache.give_back(b));
  EXPECT_EQ(cache.live_bytes(), 0u);
  EXPECT_EQ(cache.kept_bytes(), 12 * MiB);
  // Same sizes, next step: the same blocks, best fit first.
  EXPECT_EQ(cache.take(4 * MiB), b);
  EXPECT_EQ(cache.take(7 * MiB), a);  // within a quarter above the request
  EXPECT_EQ(cache.live_bytes(), 12 * MiB);
  EXPECT_EQ(cache.kept_bytes(), 0u);
  EXPECT_TRUE(cache.give_back(a));
  EXPECT_TRUE(cache.give_back(a));  // a second free changes nothing
  EXPECT_EQ(cache.kept_bytes(), 8 * MiB);
  EXPECT_TRUE(cache.give_back(b));
}

TEST(BlockCache, ForeignPointersAreNotTaken) {
  BlockCache cache;
  int local = 0;
  EXPECT_FALSE(cache.give_back(&local));
  EXPECT_EQ(cache.kept_bytes(), 0u);
}

TEST(BlockCache, TooLargeABlockIsNotHandedOutForASmallRequest) {
  BlockCache cache;
  void* big = cache.take(16 * MiB);
  cache.give_back(big);
  void* small = cache.take(2 * MiB);
  EXPECT_NE(small, big);
  cache.give_back(small);
}

TEST(BlockCache, MemoryHeldNeverExceedsThePeakInUse) {
  BlockCache cache;
  // One "step" needing 3 x 10 MiB at once, then a pattern of other sizes.
  void* blocks[3];
  for (auto& p : blocks) p = cache.take(10 * MiB);
  for (auto* p : blocks) cache.give_back(p);
  EXPECT_EQ(cache.peak_live_bytes(), 30 * MiB);
  void* other[4];
  for (auto& p : other) {
    p = cache.take(6 * MiB);  // no kept block fits: kept ones are released to make room
    ASSERT_NE(p, nullptr);
    EXPECT_LE(cache.live_bytes() + cache.kept_bytes(), 30 * MiB);
  }
  for (auto* p : other) cache.give_back(p);
  EXPECT_LE(cache.kept_bytes(), 30 * MiB);
  EXPECT_EQ(cache.live_bytes(), 0u);
}

TEST(KeptCpuBlocks, LargeTensorsReuseTheMemoryOfFreedOnes) {
  compat::keep_large_cpu_blocks();
  const void* first = nullptr;
  {
    torch::Tensor t = torch::ones({int64_t{4} << 20});
    first = t.data_ptr();
  }
  torch::Tensor again = torch::zeros({int64_t{4} << 20});
  EXPECT_EQ(again.data_ptr(), first);
  EXPECT_EQ(again.sum().item<float>(), 0.0f);  // handed out as asked, not as left
  EXPECT_EQ(torch::ones({3}).sum().item<float>(), 3.0f);  // small tensors as before
}

}  // namespace
}  // namespace lumora
