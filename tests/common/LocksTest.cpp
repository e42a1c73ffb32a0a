#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "common/Locks.h"

using base::CriticalSection;
using base::RecursiveSrwLock;
using base::ScopedLock;
using base::SrwLock;

namespace {
template <class Lock>
bool TryLockFromOtherThread(Lock& lock, bool unlockAfter = true) {
    bool got = false;
    std::thread([&] {
        got = lock.TryLock();
        if (got && unlockAfter) lock.Unlock();
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

TEST(Locks, SrwLockExcludesOtherThreads) {
    SrwLock lock;
    lock.Lock();
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(lock));
}

TEST(Locks, RecursiveSrwLockCountsItsOwnersTurns) {
    RecursiveSrwLock lock;
    lock.Lock();
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    lock.Unlock();
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(lock));
}

TEST(Locks, RecursiveSrwLockIgnoresUnlockByAnotherThread) {
    RecursiveSrwLock lock;
    lock.Lock();
    std::thread([&] { lock.Unlock(); }).join();
    EXPECT_FALSE(TryLockFromOtherThread(lock));
    lock.Unlock();
    // An unlock without an owner does nothing either.
    lock.Unlock();
    EXPECT_TRUE(TryLockFromOtherThread(lock));
}

TEST(Locks, RecursiveSrwLockPassesBetweenThreads) {
    RecursiveSrwLock lock;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    auto worker = [&] {
        for (int i = 0; i < 2000; ++i) {
            ScopedLock<RecursiveSrwLock> outer(lock);
            ScopedLock<RecursiveSrwLock> inner(lock);
            const int now = ++inside;
            if (now > maxInside) maxInside = now;
            --inside;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(maxInside.load(), 1);
    EXPECT_TRUE(TryLockFromOtherThread(lock));
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
