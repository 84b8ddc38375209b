// Pools: zero-filled blocks, accounting, growth, destruction, fault injection, misuse.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tests/support/runtime.h"
#include "tests/unit/platform/service.h"

namespace {

// A pool made through the service and destroyed with the test.
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        qorhost_start();
        pools_before_ = qorhost_live_pools();
        ASSERT_EQ(svc::wmtpc()(&pool_, 4096, 1024, 258, 1), 0);
        ASSERT_NE(pool_, nullptr);
    }
    void TearDown() override {
        if (pool_ != nullptr) {
            EXPECT_EQ(svc::wmpoold()(pool_), 0);
        }
        EXPECT_EQ(qorhost_live_pools(), pools_before_);
    }
    void *allocate(int32_t size) { return pool_->allocate(pool_, size, 6); }
    void release(void *block) { EXPECT_EQ(pool_->release(pool_, block, 0, 4), 0); }

    HostPool *pool_ = nullptr;
    long pools_before_ = 0;
};

bool all_zero(const void *block, size_t size) {
    const auto *bytes = static_cast<const unsigned char *>(block);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST_F(PoolTest, BlocksAreZeroFilledEvenWhenReused) {
    for (const int32_t size : {1, 16, 17, 100, 512, 700, 4096, 5000, 100000}) {
        auto *block = static_cast<unsigned char *>(allocate(size));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_TRUE(all_zero(block, size)) << size;
        std::memset(block, 0xA5, size);
        release(block);
        block = static_cast<unsigned char *>(allocate(size));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_TRUE(all_zero(block, size)) << "reused block of " << size << " bytes not cleared";
        release(block);
    }
}

// Blocks of every size class, and of the sizes just past each boundary, hold their whole size
// without touching their neighbours, whether cut from a fresh chunk or larger than any chunk.
TEST_F(PoolTest, BlocksOnClassBoundariesHoldTheirWholeSize) {
    const int32_t sizes[] = {16384, 1, 8, 9, 128, 129, 144, 145, 1000, 4096, 4097, 8192, 16383, 16385, 40000, 7};
    std::vector<std::pair<unsigned char *, int32_t>> blocks;
    for (int round = 0; round < 2; ++round) {
        for (const int32_t size : sizes) {
            auto *block = static_cast<unsigned char *>(allocate(size));
            ASSERT_NE(block, nullptr) << size;
            ASSERT_TRUE(all_zero(block, size)) << size;
            std::memset(block, static_cast<int>(blocks.size() + 1), size);
            blocks.emplace_back(block, size);
        }
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        const auto [block, size] = blocks[i];
        for (int32_t k = 0; k < size; ++k) {
            ASSERT_EQ(block[k], static_cast<unsigned char>(i + 1)) << "block " << i << " of " << size << " bytes, byte " << k;
        }
        release(block);
    }
    EXPECT_EQ(qortest::pool_stats(pool_).live_blocks, 0);
}

TEST_F(PoolTest, SizeZeroGivesDistinctBlocksAndNegativeGivesNull) {
    void *a = allocate(0);
    void *b = allocate(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(allocate(-1), nullptr);
    EXPECT_EQ(qortest::pool_stats(pool_).live_blocks, 2);
    release(a);
    release(b);
    release(nullptr);
}

TEST_F(PoolTest, BlocksAreAlignedForAnyScalar) {
    for (int32_t size = 1; size < 300; size += 7) {
        void *block = allocate(size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(double), 0u);
    }
}

TEST_F(PoolTest, StatisticsFollowAllocationsAndReleases) {
    void *a = allocate(100);
    void *b = allocate(28);
    qorhost_pool_stats s = qortest::pool_stats(pool_);
    EXPECT_EQ(s.live_blocks, 2);
    EXPECT_EQ(s.live_bytes, 128);
    EXPECT_EQ(s.peak_bytes, 128);
    EXPECT_EQ(s.allocations, 2);
    release(a);
    s = qortest::pool_stats(pool_);
    EXPECT_EQ(s.live_blocks, 1);
    EXPECT_EQ(s.live_bytes, 28);
    EXPECT_EQ(s.peak_bytes, 128);
    release(b);
    EXPECT_EQ(qortest::pool_stats(pool_).live_bytes, 0);
}

TEST_F(PoolTest, GrowthKeepsContentsAndZeroesAddedBytes) {
    // Dirty a block of the size class the growth may land in, so stale bytes would show.
    void *dirty = allocate(64);
    std::memset(dirty, 0xEE, 64);
    release(dirty);

    auto *block = static_cast<unsigned char *>(allocate(20));
    for (int i = 0; i < 20; ++i) {
        block[i] = static_cast<unsigned char>(i + 1);
    }
    void *grown = nullptr;
    for (const int32_t size : {40, 64, 600, 9000, 70000}) {
        ASSERT_EQ(svc::wmrealc()(pool_, block, 0, &grown, size, 6), 0) << size;
        auto *bytes = static_cast<unsigned char *>(grown);
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(bytes[i], i + 1) << "contents lost growing to " << size;
        }
        EXPECT_TRUE(all_zero(bytes + 20, size - 20)) << "added bytes not zero growing to " << size;
        std::memset(bytes + 20, 0, size - 20);
        block = bytes;
    }
    const qorhost_pool_stats s = qortest::pool_stats(pool_);
    EXPECT_EQ(s.live_blocks, 1);
    EXPECT_EQ(s.live_bytes, 70000);
    release(block);
}

TEST_F(PoolTest, ShrinkThenGrowClearsTheBytesGivenUp) {
    auto *block = static_cast<unsigned char *>(allocate(48));
    std::memset(block, 0x77, 48);
    void *grown = nullptr;
    ASSERT_EQ(svc::wmrealc()(pool_, block, 4, &grown, 8, 6), 0);
    ASSERT_EQ(svc::wmrealc()(pool_, grown, 4, &grown, 48, 6), 0);
    auto *bytes = static_cast<unsigned char *>(grown);
    EXPECT_EQ(bytes[7], 0x77);
    EXPECT_TRUE(all_zero(bytes + 8, 40));
    release(grown);
}

TEST_F(PoolTest, GrowingNullAllocatesAndBadArgumentsFail) {
    void *grown = nullptr;
    ASSERT_EQ(svc::wmrealc()(pool_, nullptr, -1, &grown, 24, 6), 0);
    ASSERT_NE(grown, nullptr);
    EXPECT_TRUE(all_zero(grown, 24));
    void *untouched = grown;
    EXPECT_NE(svc::wmrealc()(pool_, grown, 0, &untouched, -5, 6), 0);
    EXPECT_EQ(untouched, grown);
    EXPECT_NE(svc::wmrealc()(pool_, grown, 0, nullptr, 50, 6), 0);
    release(grown);
}

TEST_F(PoolTest, DestroyReleasesEveryBlock) {
    HostPool *other = nullptr;
    ASSERT_EQ(svc::wmtpc()(&other, 4096, 1024, 258, 1), 0);
    EXPECT_EQ(qorhost_live_pools(), pools_before_ + 2);
    for (int i = 0; i < 20000; ++i) {
        ASSERT_NE(other->allocate(other, i % 5000, 6), nullptr);
    }
    EXPECT_EQ(qortest::pool_stats(other).live_blocks, 20000);
    EXPECT_EQ(svc::wmpoold()(other), 0);
    qorhost_pool_stats s{};
    EXPECT_NE(qorhost_pool_stats_of(other, &s), 0);
    EXPECT_EQ(qorhost_live_pools(), pools_before_ + 1);
}

TEST_F(PoolTest, TheNthAllocationFails) {
    {
        qortest::FailAllocations fail(3);
        EXPECT_NE(allocate(10), nullptr);
        EXPECT_NE(allocate(10), nullptr);
        EXPECT_EQ(allocate(10), nullptr);
        EXPECT_NE(allocate(10), nullptr);   // a single failure
        EXPECT_EQ(fail.injected(), 1);
    }
    EXPECT_EQ(qortest::pool_stats(pool_).live_blocks, 3);
}

TEST_F(PoolTest, PersistentFailureCoversCreationAllocationAndGrowth) {
    void *block = allocate(10);
    qortest::FailAllocations fail(2, true);
    void *grown = nullptr;
    EXPECT_EQ(svc::wmrealc()(pool_, block, 0, &grown, 5000, 6), 0);   // 1st event succeeds
    block = grown;
    grown = nullptr;
    EXPECT_NE(svc::wmrealc()(pool_, block, 0, &grown, 9000, 6), 0);
    EXPECT_EQ(grown, nullptr);
    EXPECT_EQ(allocate(1), nullptr);
    HostPool *other = nullptr;
    EXPECT_NE(svc::wmtpc()(&other, 4096, 1024, 258, 1), 0);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(fail.injected(), 3);
    // The block that could not grow is intact and still the pool's.
    EXPECT_EQ(qortest::pool_stats(pool_).live_blocks, 1);
    qorhost_fail_reset();
    release(block);
}

TEST_F(PoolTest, FaultInjectionCountsAcrossThreads) {
    qortest::FailAllocations fail(50);
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            HostPool *own = nullptr;
            if (svc::wmtpc()(&own, 4096, 1024, 258, 1) != 0) {
                ++failed;
                return;
            }
            for (int i = 0; i < 40; ++i) {
                if (own->allocate(own, 32, 6) == nullptr) {
                    ++failed;
                }
            }
            svc::wmpoold()(own);
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(fail.injected(), 1);
}

TEST_F(PoolTest, PoolsOnDifferentThreadsWorkIndependently) {
    std::vector<std::thread> threads;
    std::atomic<int> errors{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                HostPool *own = nullptr;
                if (svc::wmtpc()(&own, 4096, 1024, 258, 1) != 0) {
                    ++errors;
                    return;
                }
                std::vector<unsigned char *> blocks;
                for (int i = 0; i < 500; ++i) {
                    auto *b = static_cast<unsigned char *>(own->allocate(own, 1 + (i * 37 + t) % 700, 6));
                    b[0] = static_cast<unsigned char>(t);
                    blocks.push_back(b);
                }
                for (size_t i = 0; i < blocks.size(); i += 2) {
                    errors += blocks[i][0] != t;
                    own->release(own, blocks[i], 0, 4);
                }
                qorhost_pool_stats s{};
                qorhost_pool_stats_of(own, &s);
                errors += s.live_blocks != 250;
                svc::wmpoold()(own);
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(errors.load(), 0);
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, ReleasingTwiceAborts) {
    void *block = allocate(40);
    release(block);
    EXPECT_DEATH(pool_->release(pool_, block, 0, 4), "released twice");
}

TEST_F(PoolDeathTest, ReleasingIntoAnotherPoolAborts) {
    HostPool *other = nullptr;
    ASSERT_EQ(svc::wmtpc()(&other, 4096, 1024, 258, 1), 0);
    void *block = other->allocate(other, 40, 6);
    EXPECT_DEATH(pool_->release(pool_, block, 0, 4), "belongs to pool");
    EXPECT_EQ(svc::wmpoold()(other), 0);
}

TEST_F(PoolDeathTest, UsingAPoolAfterDestructionAborts) {
    HostPool *other = nullptr;
    ASSERT_EQ(svc::wmtpc()(&other, 4096, 1024, 258, 1), 0);
    void *block = other->allocate(other, 40, 6);
    ASSERT_EQ(svc::wmpoold()(other), 0);
    EXPECT_DEATH(other->release(other, block, 0, 4), "after the pool was destroyed");
    EXPECT_DEATH(other->allocate(other, 8, 6), "after it was destroyed");
    EXPECT_DEATH(svc::wmpoold()(other), "destroyed twice");
}

TEST_F(PoolDeathTest, ReleasingSomethingElseAborts) {
    int local[8] = {};
    EXPECT_DEATH(pool_->release(pool_, &local[1], 0, 4), "not a block");
}

}  // namespace
