#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/MemoryPool.h"

using base::MemoryPool;

TEST(MemoryPool, ServesHundredBlocksThenFallsBackToTheHeap) {
    MemoryPool pool;
    ASSERT_EQ(pool.FreeBlockCount(), MemoryPool::kBlockCount);
    std::vector<void*> blocks;
    for (size_t i = 0; i < MemoryPool::kBlockCount; ++i) {
        void* p = pool.Allocate(MemoryPool::kBlockSize);
        ASSERT_TRUE(pool.OwnsBlock(p)) << "block " << i;
        std::memset(p, 0xAB, MemoryPool::kBlockSize);  // the whole block is usable
        blocks.push_back(p);
    }
    void* extra = pool.Allocate(16);
    ASSERT_NE(extra, nullptr);
    EXPECT_FALSE(pool.OwnsBlock(extra));
    pool.Free(extra);

    pool.Free(blocks[42]);
    void* again = pool.Allocate(1);
    EXPECT_EQ(again, blocks[42]);
    blocks[42] = again;
    for (void* p : blocks) pool.Free(p);
    EXPECT_EQ(pool.FreeBlockCount(), MemoryPool::kBlockCount);
}

TEST(MemoryPool, OversizedRequestsComeFromTheHeap) {
    MemoryPool pool;
    void* big = pool.Allocate(MemoryPool::kBlockSize + 1);
    ASSERT_NE(big, nullptr);
    EXPECT_FALSE(pool.OwnsBlock(big));
    std::memset(big, 0, MemoryPool::kBlockSize + 1);
    pool.Free(big);
    pool.Free(nullptr);
    EXPECT_EQ(pool.FreeBlockCount(), MemoryPool::kBlockCount);
}

TEST(MemoryPool, TwoThreadsShareItWithoutLosingBlocks) {
    MemoryPool pool;
    auto churn = [&pool](unsigned char tag) {
        std::vector<unsigned char*> mine;
        for (int round = 0; round < 200; ++round) {
            for (int i = 0; i < 70; ++i) {
                auto* p = static_cast<unsigned char*>(pool.Allocate(100));
                std::memset(p, tag, 100);
                mine.push_back(p);
            }
            for (unsigned char* p : mine) {
                if (p[0] != tag || p[99] != tag) std::abort();  // someone else wrote our block
                pool.Free(p);
            }
            mine.clear();
        }
    };
    std::thread a(churn, 1), b(churn, 2);
    a.join();
    b.join();
    EXPECT_EQ(pool.FreeBlockCount(), MemoryPool::kBlockCount);
}
