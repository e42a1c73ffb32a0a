#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Event.h"
#include "common/ThreadName.h"
#include "common/ThreadQueue.h"
#include "tests/support/RunnerTestSupport.h"
#include "common/OverlayException.h"

using Common::Utils::ThreadQueue;

namespace {
// Posts a task that signals `done`, and waits for it: everything posted before has run by then.
bool Drain(ThreadQueue& q) {
    base::Event done;
    done.Create();
    if (!q.Post([&done] { done.Signal(); })) return false;
    return done.Wait(10000);
}
}  // namespace

TEST(ThreadQueue, RunsTasksInOrderOnItsOwnThread) {
    ThreadQueue q;
    ASSERT_TRUE(q.Start("Logger"));
    EXPECT_FALSE(q.Start("Logger"));  // one thread only
    EXPECT_EQ(q.Name(), "Logger");

    std::vector<int> order;
    std::atomic<DWORD> taskThread{0};
    auto held = std::make_shared<int>(7);
    ASSERT_TRUE(q.Post([held] {}));
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(q.Post([&order, &taskThread, i] {
            order.push_back(i);
            taskThread = ::GetCurrentThreadId();
        }));
    }
    ASSERT_TRUE(Drain(q));
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[i], i);
    EXPECT_EQ(taskThread.load(), q.ThreadId());
    EXPECT_NE(taskThread.load(), ::GetCurrentThreadId());
    EXPECT_EQ(held.use_count(), 1);  // a task that ran no longer holds what it captured

    EXPECT_TRUE(q.Stop());
    EXPECT_FALSE(q.HasThread());
    EXPECT_EQ(q.ThreadId(), 0u);
}

TEST(ThreadQueue, PostingWithoutThreadOrAfterStopIsDropped) {
    ThreadQueue q;
    EXPECT_FALSE(q.Post([] {}));
    EXPECT_TRUE(q.Stop());  // nothing to stop

    // Stop waits only 100 ms; on a loaded machine the thread may end later, stopping all the same.
    ASSERT_TRUE(q.Start("Logger"));
    q.Stop();
    ASSERT_TRUE(test::WaitForThreadEnd(q));
    bool ran = false;
    EXPECT_FALSE(q.Post([&ran] { ran = true; }));
    EXPECT_FALSE(ran);

    // A stopped queue can be started again and works as new.
    ASSERT_TRUE(q.Start("Logger"));
    EXPECT_TRUE(Drain(q));
    EXPECT_TRUE(q.Stop());
}

TEST(ThreadQueue, StopFromInsideATaskEndsTheLoopAndDropsTheRest) {
    ThreadQueue q;
    ASSERT_TRUE(q.Start("Logger"));
    base::Event gate;
    gate.Create();
    std::atomic<bool> laterRan{false};
    std::atomic<bool> stopResult{false};
    // Hold the thread until all three are queued.
    ASSERT_TRUE(q.Post([&] { gate.Wait(10000); }));
    ASSERT_TRUE(q.Post([&] { stopResult = q.Stop(); }));
    ASSERT_TRUE(q.Post([&] { laterRan = true; }));
    gate.Signal();

    EXPECT_TRUE(test::WaitForThreadEnd(q));
    EXPECT_TRUE(stopResult.load());
    EXPECT_FALSE(laterRan.load());
    EXPECT_FALSE(q.Post([] {}));
}

TEST(ThreadQueue, ThrowingTasksAreDroppedAndTheThreadGoesOn) {
    ThreadQueue q;
    ASSERT_TRUE(q.Start("Logger"));
    std::atomic<int> ran{0};
    ASSERT_TRUE(q.Post([] { throw Overlay::Common::StructuredException("x caused y (0x00000000)"); }));
    ASSERT_TRUE(q.Post([] { throw std::runtime_error(""); }));
    ASSERT_TRUE(q.Post([] { throw 42; }));
    ASSERT_TRUE(q.Post([&ran] { ++ran; }));
    ASSERT_TRUE(Drain(q));
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(q.Stop());
}

TEST(ThreadQueue, StopGivesUpOnATaskThatNeverReturnsAndDestructionKillsIt) {
    auto marker = std::make_shared<int>(0);
    std::atomic<bool> ran{false};
    base::Event never;  // never signalled, and outlives the queue: the held task never returns
    never.Create();
    {
        ThreadQueue q;
        ASSERT_TRUE(q.Start("Logger"));
        ASSERT_TRUE(test::HoldThread(q, never));
        ASSERT_TRUE(q.Post([marker, &ran] { ran = true; }));
        EXPECT_EQ(q.PendingTaskCount(), 1u);
        // The bound is the point: Stop gives up after 100 ms instead of waiting for the task.
        const DWORD before = ::GetTickCount();
        EXPECT_FALSE(q.Stop());
        EXPECT_LT(::GetTickCount() - before, 3000u);
        EXPECT_TRUE(q.HasThread());
    }  // the held thread is killed, the queued task destroyed
    EXPECT_EQ(marker.use_count(), 1);
    EXPECT_FALSE(ran.load());
}

// Naming raises an exception that only a debugger wants: it must be continued, and nothing else
// with it.
TEST(ThreadName, NamingGoesOnAndLeavesOtherExceptionsToTheirHandlers) {
    constexpr DWORD kOther = 0xE0514D01;
    static std::atomic<int> seen{0};
    const PVOID last = ::AddVectoredExceptionHandler(0, [](EXCEPTION_POINTERS* info) -> LONG {
        if (info->ExceptionRecord->ExceptionCode != kOther) return EXCEPTION_CONTINUE_SEARCH;
        ++seen;
        return EXCEPTION_CONTINUE_EXECUTION;
    });
    ASSERT_NE(last, nullptr);
    std::atomic<bool> named{false};
    std::thread([&named] {
        base::SetCurrentThreadName("qm other thread");
        named = true;
    }).join();
    base::SetCurrentThreadName("qm test thread");
    ::RaiseException(kOther, 0, 0, nullptr);
    ::RemoveVectoredExceptionHandler(last);
    EXPECT_TRUE(named.load());
    EXPECT_EQ(seen.load(), 1);
}
