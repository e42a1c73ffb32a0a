#include <atomic>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "common/Event.h"
#include "common/WorkerThread.h"
#include "tests/support/RunnerTestSupport.h"

using Common::Utils::WorkerThread;

namespace {
struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<int, DWORD>> runs;  // task number, thread
    void Add(int n) {
        std::lock_guard<std::mutex> guard(mutex);
        runs.emplace_back(n, ::GetCurrentThreadId());
    }
};
}  // namespace

TEST(WorkerThread, StopWithRunRemainingRunsTheRestOnTheStoppingThread) {
    WorkerThread w;
    ASSERT_TRUE(w.Start("worker thread"));
    base::Event gate;
    gate.Create();
    Recorder rec;
    ASSERT_TRUE(test::HoldThread(w, gate));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.Post([&rec, i] { rec.Add(i); }));

    EXPECT_FALSE(w.Stop(true, 50));  // the worker is still held
    ASSERT_EQ(rec.runs.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rec.runs[i].first, i);
        EXPECT_EQ(rec.runs[i].second, ::GetCurrentThreadId());
    }
    EXPECT_FALSE(w.Post([] {}));
    gate.Signal();
    EXPECT_TRUE(test::WaitForThreadEnd(w));
}

TEST(WorkerThread, StopWithoutRunRemainingDropsQueuedTasks) {
    WorkerThread w;
    ASSERT_TRUE(w.Start("worker thread"));
    base::Event gate;
    gate.Create();
    std::atomic<int> ran{0};
    ASSERT_TRUE(test::HoldThread(w, gate));
    ASSERT_TRUE(w.Post([&ran] { ++ran; }));
    ASSERT_TRUE(w.Post([&ran] { ++ran; }));
    EXPECT_FALSE(w.Stop(false, 50));  // held: gives up, runs nothing itself
    gate.Signal();
    EXPECT_TRUE(test::WaitForThreadEnd(w));
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(w.PendingTaskCount(), 0u);
}

TEST(WorkerThread, StopIsANoOpWithoutThreadOrWhenAlreadyStopping) {
    WorkerThread w;
    EXPECT_TRUE(w.Stop(false, 0));
    ASSERT_TRUE(w.Start("worker thread"));
    std::atomic<bool> innerResult{false};
    base::Event done;
    done.Create();
    ASSERT_TRUE(w.Post([&] {
        innerResult = w.Stop(true, 0);  // from its own thread: only marks it stopping
        done.Signal();
    }));
    ASSERT_TRUE(done.Wait(10000));
    EXPECT_TRUE(innerResult.load());
    const DWORD before = ::GetTickCount();
    EXPECT_TRUE(w.Stop(false, 0));  // already stopping: returns at once
    EXPECT_LT(::GetTickCount() - before, 1000u);
    EXPECT_TRUE(test::WaitForThreadEnd(w));
}
