#include <thread>

#include <gtest/gtest.h>

#include "common/Locks.h"

using base::CriticalSection;
using base::ScopedLock;

namespace {
bool TryLockFromOtherThread(CriticalSection& lock) {
    bool got = false;
    std::thread([&] {
        got = lock.TryLock();
        if (got) lock.Unlock();
    }).join();
    return got;
}
}  // namespace

TEST(Locks, CriticalSectionIsReentrantAndExclusive) {
    CriticalSection cs;
    cs.Lock();
    EXPECT_TRUE(cs.TryLock());  // the holder may take it again
    EXPECT_FALSE(TryLockFromOtherThread(cs));
    cs.Unlock();
    EXPECT_FALSE(TryLockFromOtherThread(cs));  // still held once
    cs.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(cs));
}

TEST(Locks, ScopedLockUnlocksOnceOnly) {
    CriticalSection cs;
    {
        ScopedLock<CriticalSection> guard(cs);
        EXPECT_FALSE(TryLockFromOtherThread(cs));
        guard.Unlock();
        EXPECT_TRUE(TryLockFromOtherThread(cs));
    }  // the destructor must not unlock a second time
    cs.Lock();
    EXPECT_FALSE(TryLockFromOtherThread(cs));
    cs.Unlock();
}
