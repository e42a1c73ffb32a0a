#include <windows.h>

#include <gtest/gtest.h>

#include "common/MessageWait.h"
#include "core/GameTracker.h"
#include "tests/support/OverlayTestSupport.h"

// Each look says what changed and publishes what it read: nothing is followed before the game's
// window was once shown and not minimised; the look that first sees it says so and forces a
// placement; a minimise is a change of its own, said once.
TEST(GameTracker, EachLookSaysWhatChangedAndPublishesWhatItRead) {
    test::FreshProcessState fresh;
    test::SampleGame game(L"--hidden --pos 120,80 --size 640x480");
    ASSERT_NE(game.Window(), nullptr);
    OverlayFacts facts;
    GameTracker tracker(facts);
    tracker.Start(game.Pid(), false);

    EXPECT_EQ(tracker.LookNow(base::NowMicroseconds()).game, nullptr);
    EXPECT_TRUE(tracker.LookingAgain());
    ::ShowWindow(game.Window(), SW_SHOWNA);
    ASSERT_TRUE(test::WaitUntil([&] { return ::IsWindowVisible(game.Window()) != FALSE; }, 5000));

    GameTracker::Look look = tracker.LookNow(base::NowMicroseconds());
    ASSERT_EQ(look.game, game.Window());
    EXPECT_TRUE(look.appeared);
    EXPECT_NE(look.change & GameWindowHandler::kForced, 0);
    EXPECT_TRUE(test::SameRect(facts.GameRect(), game.ClientOnScreen()));
    EXPECT_EQ(facts.game.load(), game.Window());
    EXPECT_TRUE(tracker.UpdateMinimized());  // minimised until first seen
    EXPECT_FALSE(facts.minimized.load());
    EXPECT_FALSE(tracker.UpdateMinimized());
    EXPECT_TRUE(tracker.UpdateShown(look.game));

    look = tracker.LookNow(base::NowMicroseconds());
    EXPECT_FALSE(look.appeared);
    EXPECT_EQ(look.change, GameWindowHandler::kUnchanged);
    ::SetWindowPos(game.Window(), nullptr, 200, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(tracker.LookNow(base::NowMicroseconds()).change, GameWindowHandler::kMoved);
    EXPECT_TRUE(test::SameRect(facts.GameRect(), game.ClientOnScreen()));

    ::ShowWindow(game.Window(), SW_MINIMIZE);
    ASSERT_TRUE(test::WaitUntil([&] {
        tracker.LookNow(base::NowMicroseconds());
        return tracker.UpdateMinimized();
    }, 5000));
    EXPECT_TRUE(facts.minimized.load());
    EXPECT_EQ(tracker.ForPlacement().minimized, true);
}
