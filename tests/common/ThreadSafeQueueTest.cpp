#include <vector>

#include <gtest/gtest.h>

#include "common/ThreadSafeQueue.h"

using base::ThreadSafeQueue;

TEST(ThreadSafeQueue, KeepsOrderWhileItWrapsAndGrowsAndHandsEverythingOverOnce) {
    ThreadSafeQueue q;
    ThreadSafeQueue other;
    std::vector<wchar_t> cells(1000);
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(q.Pop(), nullptr);
    EXPECT_FALSE(q.SwapOut(other));
    for (int round = 0; round < 3; ++round) {
        // Interleave pushes and pops so that the ring wraps before it grows.
        for (int i = 0; i < 100; ++i) q.Push(&cells[i]);
        for (int i = 0; i < 60; ++i) ASSERT_EQ(q.Pop(), &cells[i]);
        EXPECT_FALSE(q.IsEmpty());
        for (int i = 100; i < 1000; ++i) q.Push(&cells[i]);
        ASSERT_TRUE(q.SwapOut(other));
        EXPECT_TRUE(q.IsEmpty());
        EXPECT_FALSE(q.SwapOut(other));
        for (int i = 60; i < 1000; ++i) ASSERT_EQ(other.Pop(), &cells[i]);
        EXPECT_EQ(other.Pop(), nullptr);
        EXPECT_TRUE(other.IsEmpty());
    }
}
