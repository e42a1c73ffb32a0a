#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/Event.h"
#include "common/ProcessWatchDog.h"
#include "tests/support/TestSupport.h"

using base::process::ProcessWatchDog;

namespace {
// Records every report, delegate and callback alike, in arrival order.
struct Reports : ProcessWatchDog::Delegate {
    std::mutex mutex;
    std::vector<std::string> events;
    base::Event arrived;
    Reports() { arrived.Create(); }

    void Add(const std::string& what) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            events.push_back(what);
        }
        arrived.Signal();
    }
    void ProcessClosed(ProcessWatchDog*, uint32_t pid, uint32_t exitCode) override {
        Add("delegate " + std::to_string(pid) + " " + std::to_string(static_cast<int32_t>(exitCode)));
    }
    ProcessWatchDog::Callback Callback() {
        return [this](ProcessWatchDog*, DWORD pid, DWORD exitCode) {
            Add("callback " + std::to_string(pid) + " " + std::to_string(static_cast<int32_t>(exitCode)));
        };
    }
    std::vector<std::string> Snapshot() {
        std::lock_guard<std::mutex> guard(mutex);
        return events;
    }
};
}  // namespace

TEST(ProcessWatchDog, ReportsTheEndToDelegateThenCallback) {
    Reports reports;
    test::ChildProcess child(test::ChildCommand(L"sleep 300"));
    ASSERT_TRUE(child.Started());
    ProcessWatchDog dog(&reports);
    ASSERT_TRUE(dog.Watch(child.Pid(), reports.Callback()));
    EXPECT_EQ(dog.ProcessId(), child.Pid());
    ASSERT_TRUE(child.WaitExit(20000));
    for (int i = 0; i < 100 && reports.Snapshot().size() < 2; ++i) reports.arrived.Wait(100);
    const std::string pid = std::to_string(child.Pid());
    EXPECT_EQ(reports.Snapshot(), (std::vector<std::string>{"delegate " + pid + " 0", "callback " + pid + " 0"}));
}

TEST(ProcessWatchDog, AProcessThatAlreadyEndedReportsAtOnceWithItsCode) {
    Reports reports;
    test::ChildProcess child(test::ChildCommand(L"exit -42"));
    ASSERT_TRUE(child.WaitExit(20000));
    ProcessWatchDog dog(nullptr);  // no delegate: the callback alone
    ASSERT_TRUE(dog.WatchHandle(child.Handle(), reports.Callback()));
    EXPECT_EQ(dog.ProcessId(), child.Pid());
    EXPECT_TRUE(reports.arrived.Wait(10000));
    EXPECT_EQ(reports.Snapshot(), (std::vector<std::string>{"callback " + std::to_string(child.Pid()) + " -42"}));
    // The handle stays the caller's.
    dog.Stop();
    DWORD code = 0;
    EXPECT_TRUE(::GetExitCodeProcess(child.Handle(), &code));
}

TEST(ProcessWatchDog, StopBeforeTheEndReportsNothing) {
    Reports reports;
    test::ChildProcess child(test::ChildCommand(L"sleep 1000"));
    ProcessWatchDog dog(&reports);
    ASSERT_TRUE(dog.Watch(child.Pid(), reports.Callback()));
    dog.Stop();
    EXPECT_FALSE(dog.IsWatching());
    ASSERT_TRUE(child.WaitExit(20000));
    EXPECT_FALSE(reports.arrived.Wait(500));
    EXPECT_TRUE(reports.Snapshot().empty());
}

TEST(ProcessWatchDog, OneWatchAtATime) {
    Reports first;
    Reports second;
    test::ChildProcess a(test::ChildCommand(L"sleep 300"));
    test::ChildProcess b(test::ChildCommand(L"sleep 30000"));
    ProcessWatchDog dog(nullptr);
    ASSERT_TRUE(dog.Watch(a.Pid(), first.Callback()));
    EXPECT_FALSE(dog.Watch(b.Pid(), second.Callback()));
    EXPECT_EQ(dog.ProcessId(), a.Pid());
    EXPECT_TRUE(first.arrived.Wait(20000));
    EXPECT_TRUE(second.Snapshot().empty());
    // Ended by itself, the watch still holds its thread until Stop.
    EXPECT_FALSE(dog.Watch(b.Pid(), second.Callback()));
    dog.Stop();
    EXPECT_TRUE(dog.Watch(b.Pid(), second.Callback()));
    dog.Stop();
}

TEST(ProcessWatchDog, ProcessesThatCannotBeOpenedAreRefused) {
    ProcessWatchDog dog(nullptr);
    EXPECT_FALSE(dog.Watch(0, nullptr));
    EXPECT_FALSE(dog.Watch(0xFFFFFFF0u, nullptr));
    EXPECT_FALSE(dog.WatchHandle(nullptr, nullptr));
    EXPECT_FALSE(dog.IsWatching());
    dog.Stop();
}

TEST(ProcessWatchDog, AThrowingCallbackDoesNotTakeTheProcessDown) {
    test::ChildProcess child(test::ChildCommand(L"exit 3"));
    ASSERT_TRUE(child.WaitExit(20000));
    std::atomic<bool> called{false};
    ProcessWatchDog dog(nullptr);
    ASSERT_TRUE(dog.WatchHandle(child.Handle(), [&called](ProcessWatchDog*, DWORD, DWORD) {
        called = true;
        throw std::runtime_error("callback failure");
    }));
    for (int i = 0; i < 200 && !called; ++i) ::Sleep(10);
    dog.Stop();
    EXPECT_TRUE(called.load());
}
