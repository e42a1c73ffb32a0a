#include <windows.h>

#include <gtest/gtest.h>

#include "common/MessageWait.h"
#include "common/UniqueHandle.h"

using base::MessageWaiter;
using base::NowMicroseconds;

// The main loop's pattern: short polls inside one due time, that time once more when it has passed,
// then a new one. A timer kept for a due time that changed would end the wait early or never. The
// polls' time-outs may make the waiter keep later due times by time-outs: they too must hold.
TEST(MessageWaiter, DueTimeHoldsThroughPollsAndAfterItsTimerIsSpent) {
    MessageWaiter waiter;
    const int64_t due = NowMicroseconds() + 60000;
    int polls = 0;
    while (NowMicroseconds() < due) {
        EXPECT_EQ(waiter.Wait(due, 1), MessageWaiter::kTimeOut);
        ASSERT_LT(++polls, 1000);
    }
    EXPECT_GT(polls, 1);
    // Spent, and again for the same time: at once.
    EXPECT_EQ(waiter.Wait(due, INFINITE), MessageWaiter::kTimeOut);
    for (int i = 0; i < 3; ++i) {
        const int64_t next = NowMicroseconds() + 20000 + i * 333;
        EXPECT_EQ(waiter.Wait(next, INFINITE), MessageWaiter::kTimeOut);
        // A system's time-out may end a fraction of a millisecond early.
        EXPECT_GE(NowMicroseconds(), next - 1000) << "keeps time by time-outs: " << waiter.KeepsTimeByTimeOuts();
    }
}

// A look that did not wait leaves the timer armed; its time then comes with nobody waiting. The
// next wait, for a later time, must still last until that time.
TEST(MessageWaiter, ATimerThatFiredUnseenDoesNotEndTheNextWait) {
    MessageWaiter waiter;
    const int64_t due = NowMicroseconds() + 5000;
    EXPECT_EQ(waiter.Wait(due, 0), MessageWaiter::kTimeOut);
    ::Sleep(20);
    const int64_t next = NowMicroseconds() + 20000;
    EXPECT_EQ(waiter.Wait(next, INFINITE), MessageWaiter::kTimeOut);
    EXPECT_GE(NowMicroseconds(), next - 1000);
}

// A loop that waits only for its due times, with no polls, still comes to keep them by time-outs
// where the system's time-outs end on time: each due time set on a timer costs calls of its own.
TEST(MessageWaiter, WaitsWithoutPollsLearnWhetherTimeOutsKeepTime) {
    // A loaded test bed may make one wait late and the waiter rightly distrust time-outs again: a
    // few tries, each judged against the system's own time-outs just before.
    MessageWaiter waiter;
    bool judged = false, learned = false;
    for (int attempt = 0; attempt < 3 && !learned; ++attempt) {
        int onTime = 0;
        for (int i = 0; i < 20; ++i) {
            const int64_t start = NowMicroseconds();
            ::MsgWaitForMultipleObjectsEx(0, nullptr, 3, 0, 0);
            onTime += NowMicroseconds() - start <= 3000 + 2000;
        }
        for (int frame = 0; frame < 40; ++frame) {
            const int64_t due = NowMicroseconds() + 4500;
            while (waiter.Wait(due, INFINITE) == MessageWaiter::kTimeOut && NowMicroseconds() < due) {
            }
            EXPECT_GE(NowMicroseconds(), due - 1000);
        }
        judged = judged || onTime == 20;
        learned = onTime == 20 && waiter.KeepsTimeByTimeOuts();
    }
    if (judged) EXPECT_TRUE(learned);
    // However it keeps a near due time, what came meanwhile ends the wait.
    base::UniqueHandle set(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    const HANDLE handles[] = {set.Get()};
    EXPECT_EQ(waiter.Wait(NowMicroseconds() + 8000, INFINITE, handles, 1), 0);
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0));
    EXPECT_EQ(waiter.Wait(NowMicroseconds() + 8000, INFINITE), MessageWaiter::kInput);
    MSG msg;
    EXPECT_TRUE(::PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
}

TEST(MessageWaiter, EndsForAHandleOrAMessageBeforeTheDueTime) {
    MessageWaiter waiter;
    base::UniqueHandle unset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    base::UniqueHandle set(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    const HANDLE handles[] = {unset.Get(), set.Get()};
    const int64_t later = NowMicroseconds() + 60000000;
    EXPECT_EQ(waiter.Wait(later, INFINITE, handles, 2), 1);

    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0));
    EXPECT_EQ(waiter.Wait(later, INFINITE, handles, 1), MessageWaiter::kInput);
    MSG msg;
    EXPECT_TRUE(::PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
    // A due time already past with handles to look at still looks at them.
    EXPECT_EQ(waiter.Wait(NowMicroseconds() - 1, INFINITE, handles, 1), MessageWaiter::kTimeOut);
}
