#include <windows.h>

#include <gtest/gtest.h>

#include "common/HangWatch.h"
#include "common/UniqueHandle.h"

using base::HangWatch;

// The looks' count: steady looks add up, a new call starts again, and a look that comes long
// after the previous one (the process was paused) counts none of the pause.
TEST(HangWatch, OnlyTimeTheLooksSawPassCounts) {
    HangWatch::Look look;
    look.at = 10000;
    EXPECT_EQ(HangWatch::Observe(look, 10250, 0, 1), 0u);          // no call
    EXPECT_EQ(HangWatch::Observe(look, 10500, 10400, 1), 100u);     // entered between two looks
    EXPECT_EQ(HangWatch::Observe(look, 10750, 10400, 1), 350u);
    EXPECT_EQ(HangWatch::Observe(look, 25750, 10400, 1), 0u);       // 15 s paused: the count starts again
    EXPECT_EQ(HangWatch::Observe(look, 26000, 10400, 1), 250u);
    EXPECT_EQ(HangWatch::Observe(look, 26250, 26100, 2), 150u);     // the next call
    EXPECT_EQ(HangWatch::Observe(look, 41250, 41200, 3), 0u);       // a call entered right after a pause
    EXPECT_EQ(HangWatch::Observe(look, 41500, 41200, 3), 250u);
    EXPECT_EQ(HangWatch::Observe(look, 41750, 0, 3), 0u);           // left
}

namespace {
struct Reactions {
    base::UniqueHandle fired{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    LONG count = 0;
    static void React(void* self, const wchar_t*, uint32_t) {
        auto* r = static_cast<Reactions*>(self);
        ::InterlockedIncrement(&r->count);
        ::SetEvent(r->fired.Get());
    }
};
}  // namespace

// A call that overstays its limit while the process runs gets the reaction once; one that comes
// back in time gets none.
TEST(HangWatch, ACallThatOverstaysItsLimitGetsTheReactionOnce) {
    Reactions reactions;
    HangWatch watch;
    ASSERT_TRUE(watch.Start(&Reactions::React, &reactions));
    {
        HangWatch::Scope quick(&watch, L"a quick call", 2000);
        ::Sleep(300);
    }
    {
        HangWatch::Scope slow(&watch, L"a slow call", 300);
        EXPECT_EQ(::WaitForSingleObject(reactions.fired.Get(), 5000), WAIT_OBJECT_0);
        ::Sleep(600);
    }
    watch.Stop();
    EXPECT_EQ(reactions.count, 1);
}
