#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/Event.h"

using base::Event;

TEST(Event, SignalWakesOneWaitAndResets) {
    Event e;
    ASSERT_TRUE(e.Create());
    const HANDLE signal = e.SignalHandle();
    EXPECT_TRUE(e.Create());  // both exist: nothing is replaced
    EXPECT_EQ(e.SignalHandle(), signal);

    EXPECT_FALSE(e.Wait(0));
    EXPECT_TRUE(e.Signal());
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0));  // auto-reset

    EXPECT_TRUE(e.Signal());
    EXPECT_TRUE(e.Reset());
    EXPECT_FALSE(e.Wait(0));
}

TEST(Event, CloseWakesWaitersWithFalseAndLaterWaitsFailAtOnce) {
    Event e;
    ASSERT_TRUE(e.Create());
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = e.Wait(INFINITE) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    e.Close();
    waiter.join();
    EXPECT_EQ(result.load(), 0);

    ASSERT_TRUE(e.Create());
    EXPECT_TRUE(e.Signal());
    e.Close();  // a pending signal that nobody consumed
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(e.Wait(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
