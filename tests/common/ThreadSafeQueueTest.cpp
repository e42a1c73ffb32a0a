#include <vector>

#include <gtest/gtest.h>

#include "common/ThreadSafeQueue.h"

using base::ThreadSafeQueue;

TEST(ThreadSafeQueue, KeepsOrderAndTheEmptyFlag) {
    ThreadSafeQueue q;
    wchar_t a[] = L"a";
    wchar_t b[] = L"b";
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(q.Pop(), nullptr);
    q.Push(a);
    q.Push(b);
    EXPECT_FALSE(q.IsEmpty());
    EXPECT_EQ(q.Pop(), a);
    EXPECT_FALSE(q.IsEmpty());
    EXPECT_EQ(q.Pop(), b);
    EXPECT_TRUE(q.IsEmpty());
}

TEST(ThreadSafeQueue, SwapOutHandsOverEverythingOnce) {
    ThreadSafeQueue shared;
    ThreadSafeQueue mine;
    wchar_t rows[3][2] = {L"1", L"2", L"3"};
    EXPECT_FALSE(shared.SwapOut(mine));
    for (auto& r : rows) shared.Push(r);
    ASSERT_TRUE(shared.SwapOut(mine));
    EXPECT_TRUE(shared.IsEmpty());
    EXPECT_EQ(shared.Pop(), nullptr);
    EXPECT_FALSE(mine.IsEmpty());
    EXPECT_EQ(mine.Pop(), rows[0]);
    EXPECT_EQ(mine.Pop(), rows[1]);
    EXPECT_EQ(mine.Pop(), rows[2]);
    EXPECT_TRUE(mine.IsEmpty());
    EXPECT_FALSE(shared.SwapOut(mine));
}

TEST(ThreadSafeQueue, GrowsPastItsFirstRingAndKeepsOrder) {
    ThreadSafeQueue q;
    ThreadSafeQueue other;
    std::vector<wchar_t> cells(1000);
    for (int round = 0; round < 3; ++round) {
        // Interleave pushes and pops so that the ring wraps before it grows.
        for (int i = 0; i < 100; ++i) q.Push(&cells[i]);
        for (int i = 0; i < 60; ++i) ASSERT_EQ(q.Pop(), &cells[i]);
        for (int i = 100; i < 1000; ++i) q.Push(&cells[i]);
        ASSERT_TRUE(q.SwapOut(other));
        for (int i = 60; i < 1000; ++i) ASSERT_EQ(other.Pop(), &cells[i]);
        EXPECT_EQ(other.Pop(), nullptr);
        EXPECT_TRUE(q.IsEmpty());
    }
}
