#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/OverlayTestSupport.h"

namespace {

bool Visible(HWND w) { return ::IsWindowVisible(w) != FALSE; }

// The window directly above `w` in the z-order, skipping invisible ones.
HWND VisibleAbove(HWND w) {
    for (HWND p = ::GetWindow(w, GW_HWNDPREV); p; p = ::GetWindow(p, GW_HWNDPREV)) {
        if (::IsWindowVisible(p)) return p;
    }
    return nullptr;
}

}  // namespace

TEST(OverlayWindow, HiddenAtTheOriginUntilTheGameIsSeenThenOverItsClientArea) {
    test::TestManager m;
    test::SampleGame game(L"--hidden --pos 120,80 --size 640x480");
    ASSERT_NE(game.Window(), nullptr);
    ASSERT_TRUE(m.Prepare(game.Pid(), false, nullptr));
    HWND overlay = m->Parts().facts.overlay.load();
    EXPECT_TRUE(test::SameRect(test::WindowRect(overlay), RECT{0, 0, 10, 10}));
    EXPECT_FALSE(Visible(overlay));
    const LONG ex = ::GetWindowLongW(overlay, GWL_EXSTYLE);
    EXPECT_EQ(static_cast<DWORD>(ex) & 0x080800A8u, 0x080800A8u);
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongW(overlay, GWL_STYLE)) & WS_POPUP, static_cast<DWORD>(WS_POPUP));

    // A hidden game keeps the overlay waiting (and hidden).
    for (int i = 0; i < 3; ++i) m->Update();
    EXPECT_FALSE(Visible(overlay));

    ::ShowWindow(game.Window(), SW_SHOWNA);
    ASSERT_TRUE(m.UpdateUntil([&] { return Visible(overlay) && test::SameRect(test::WindowRect(overlay), game.ClientOnScreen()); }, 10000));
    EXPECT_EQ(m->Parts().frames.Width(), static_cast<uint32_t>(game.ClientOnScreen().right - game.ClientOnScreen().left));
    EXPECT_GT(m.renderer.renders, 0);
}

TEST(OverlayWindow, FollowsMovesResizesMinimiseAndRestore) {
    test::TestManager m;
    test::SampleGame game(L"--pos 100,100 --size 640x480");
    ASSERT_TRUE(m.Prepare(game.Pid(), false, nullptr));
    HWND overlay = m->Parts().facts.overlay.load();
    const auto over = [&] { return Visible(overlay) && test::SameRect(test::WindowRect(overlay), game.ClientOnScreen()); };
    ASSERT_TRUE(m.UpdateUntil(over, 10000));

    ::SetWindowPos(game.Window(), nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(m.UpdateUntil(over, 5000));
    const int resetsBefore = m.renderer.resets;
    ::SetWindowPos(game.Window(), nullptr, 0, 0, 800, 500, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(m.UpdateUntil(over, 5000));
    ASSERT_TRUE(m.UpdateUntil([&] { return m->Parts().frames.Width() == static_cast<uint32_t>(game.ClientOnScreen().right - game.ClientOnScreen().left); }, 5000));
    EXPECT_GT(m.renderer.resets, resetsBefore);

    ::ShowWindow(game.Window(), SW_MINIMIZE);
    ASSERT_TRUE(m.UpdateUntil([&] { return !Visible(overlay) && m->Parts().facts.minimized.load(); }, 5000));
    const int rendersWhileMinimised = m.renderer.renders;
    for (int i = 0; i < 5; ++i) m->Update();
    EXPECT_EQ(m.renderer.renders, rendersWhileMinimised);

    ::ShowWindow(game.Window(), SW_RESTORE);
    EXPECT_TRUE(m.UpdateUntil(over, 5000));
}

TEST(OverlayWindow, FollowsFromTheSystemsLocationReportsOnceTheyComeAndStopsLookingItself) {
    test::TestManager m;
    test::SampleGame game(L"--pos 100,100 --size 640x480");
    ASSERT_TRUE(m.Prepare(game.Pid(), false, nullptr));
    ASSERT_TRUE(m->Parts().tracker.Events().Start(game.Pid()));
    HWND overlay = m->Parts().facts.overlay.load();
    const auto over = [&] { return Visible(overlay) && test::SameRect(test::WindowRect(overlay), game.ClientOnScreen()); };
    ASSERT_TRUE(m.UpdateUntil(over, 10000));

    // Wine reports no location change of another process's window: until one comes, the game is looked at.
    ::SetWindowPos(game.Window(), nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(test::WaitUntil([&] { return m.FollowGameNow(); }, 5000));
    EXPECT_TRUE(over());

    // From the first report on the reports alone count: a move that is not reported is not looked for.
    GameWindowEvents::Deliver(EVENT_OBJECT_LOCATIONCHANGE, game.Window(), OBJID_WINDOW);
    EXPECT_TRUE(m.FollowGameNow());
    ::SetWindowPos(game.Window(), nullptr, 250, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_FALSE(m.FollowGameNow());
    // A caret's or another window's location is no move of the game.
    GameWindowEvents::Deliver(EVENT_OBJECT_LOCATIONCHANGE, game.Window(), OBJID_CARET);
    GameWindowEvents::Deliver(EVENT_OBJECT_LOCATIONCHANGE, overlay, OBJID_WINDOW);
    EXPECT_FALSE(m.FollowGameNow());
    GameWindowEvents::Deliver(EVENT_OBJECT_LOCATIONCHANGE, game.Window(), OBJID_WINDOW);
    EXPECT_TRUE(m.FollowGameNow());
    EXPECT_TRUE(over());
    m->Parts().tracker.Events().Stop();
}

// The stacking cases read the whole window stack: CTest runs them alone (tests/CMakeLists.txt).
TEST(OverlayStacking, SitsDirectlyAboveTheGameAndBelowOtherProcessesWindowsAndLeavesTheForeground) {
    test::TestManager m;
    test::SampleGame game(L"--pos 100,100 --size 640x480");
    // A window of this (another) process lies above the game, and the game is the foreground
    // window. (The mouse is left where it is: the input tests may be using it.)
    const test::ScopedWindow otherWindow(::CreateWindowExW(WS_EX_NOACTIVATE, L"STATIC", L"other", WS_POPUP, 150, 150, 200,
                                                           200, nullptr, nullptr, nullptr, nullptr));
    const HWND other = otherWindow.Get();
    ::SetWindowPos(other, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    ::SetForegroundWindow(game.Window());
    // Taking the foreground raises the game under Wine, a moment later: it is put back below the
    // other window until it stays there.
    const auto belowOther = [&] {
        return test::WaitUntil([&] {
            ::SetWindowPos(game.Window(), other, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            test::PumpFor(50);
            return VisibleAbove(game.Window()) == other || VisibleAbove(VisibleAbove(game.Window())) == other;
        }, 3000);
    };
    test::WaitUntil([&] { return ::GetForegroundWindow() == game.Window(); }, 2000);
    ASSERT_TRUE(belowOther());

    ASSERT_TRUE(m.Prepare(game.Pid(), false, nullptr));
    HWND overlay = m->Parts().facts.overlay.load();
    ASSERT_TRUE(m.UpdateUntil([&] { return Visible(overlay); }, 10000));
    // Other tests' windows may take the foreground meanwhile; the overlay must never have it, nor
    // hand it to the window below it when it is hidden.
    EXPECT_NE(::GetForegroundWindow(), overlay);
    EXPECT_NE(::GetForegroundWindow(), other);
    EXPECT_EQ(VisibleAbove(game.Window()), overlay);
    // Should the overlay have been made active at its creation, handing the foreground back raises
    // the game under Wine: the scene is set again before the placement is looked at.
    ASSERT_TRUE(belowOther());
    m.Place(true);
    EXPECT_EQ(m->Parts().window.InsertAfter(m->Parts().tracker.ForPlacement()), other);
    EXPECT_EQ(VisibleAbove(game.Window()), overlay);
    EXPECT_EQ(VisibleAbove(overlay), other);

    m->Parts().tracker.Windows().SetFullScreenStateUpdated(true);
    EXPECT_EQ(m->Parts().window.InsertAfter(m->Parts().tracker.ForPlacement()), other);
    m.Place(true);
    EXPECT_EQ(VisibleAbove(game.Window()), overlay);
    EXPECT_EQ(VisibleAbove(overlay), other);

    // Minimised: top-most whatever lies above.
    ::ShowWindow(game.Window(), SW_MINIMIZE);
    ASSERT_TRUE(m.UpdateUntil([&] { return m->Parts().facts.minimized.load(); }, 5000));
    EXPECT_EQ(m->Parts().window.InsertAfter(m->Parts().tracker.ForPlacement()), HWND_TOPMOST);
}

TEST(OverlayStacking, APassThatLooksOnlyOnChangesSeesAWindowPutBetweenTheOverlayAndTheGame) {
    test::TestManager m;
    test::SampleGame game(L"--pos 100,100 --size 640x480");
    // Another process's window, shown at the bottom: below the game, where it does not count.
    const test::ScopedWindow otherWindow(::CreateWindowExW(WS_EX_NOACTIVATE, L"STATIC", L"between", WS_POPUP, 150, 150, 200,
                                                           200, nullptr, nullptr, nullptr, nullptr));
    const HWND other = otherWindow.Get();
    ::SetWindowPos(other, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    ASSERT_TRUE(m.Prepare(game.Pid(), false, nullptr));
    HWND overlay = m->Parts().facts.overlay.load();
    ASSERT_TRUE(m.UpdateUntil([&] { return Visible(overlay) && VisibleAbove(game.Window()) == overlay; }, 10000));
    // Then put between the overlay and the game, after passes that found nothing changed: neither
    // the game's rectangle nor the foreground changes, only the overlay's neighbours do.
    ASSERT_TRUE(test::WaitUntil([&] {
        m.Pass();
        m.Pass();
        ::SetWindowPos(other, overlay, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        return VisibleAbove(game.Window()) == other && VisibleAbove(other) == overlay;
    }, 5000));
    // The stack is looked at once 100 ms have passed since the last look; Wine now and then settles a
    // placement a moment later, so a few passes may run, all well before the look each second
    // that needs no change.
    EXPECT_TRUE(test::WaitUntil([&] {
        ::Sleep(20);
        m.Pass();
        return VisibleAbove(game.Window()) == overlay && VisibleAbove(overlay) == other;
    }, 600)) << "above the game " << VisibleAbove(game.Window()) << ", above the overlay " << VisibleAbove(overlay)
      << ", other " << other << ", foreground " << ::GetForegroundWindow();
}

TEST(OverlayWindow, ClickThroughDecidesHitTestingAndTheTransparentStyle) {
    test::TestManager m;
    test::SampleGame game(L"--pos 100,100 --size 640x480");
    ASSERT_TRUE(m.Prepare(game.Pid(), false, nullptr));
    HWND overlay = m->Parts().facts.overlay.load();
    EXPECT_EQ(::SendMessageW(overlay, WM_NCHITTEST, 0, 0), HTTRANSPARENT);
    EXPECT_EQ(::SendMessageW(overlay, WM_MOUSEACTIVATE, 0, 0), MA_NOACTIVATE);

    EXPECT_TRUE(m.SetClickThrough(false, false));
    EXPECT_FALSE(m.SetClickThrough(false, false));
    EXPECT_EQ(::SendMessageW(overlay, WM_NCHITTEST, 0, 0), HTCLIENT);
    EXPECT_EQ(::GetWindowLongW(overlay, GWL_EXSTYLE) & WS_EX_TRANSPARENT, 0);
    EXPECT_TRUE(m.SetClickThrough(true, false));
    EXPECT_NE(::GetWindowLongW(overlay, GWL_EXSTYLE) & WS_EX_TRANSPARENT, 0);

    // Full screen: the style stays as it is when the overlay turns interactive.
    m->Parts().tracker.Windows().UpdateFullScreenState(true);
    EXPECT_TRUE(m.SetClickThrough(false, false));
    EXPECT_NE(::GetWindowLongW(overlay, GWL_EXSTYLE) & WS_EX_TRANSPARENT, 0);

    // Mouse messages without a controller are the window's default; WM_SIZE minimised resets nothing.
    EXPECT_EQ(::SendMessageW(overlay, WM_MOUSEMOVE, 0, 0), 0);
    ASSERT_TRUE(m.UpdateUntil([&] { return !m->Parts().facts.minimized.load(); }, 10000));
    const int resets = m.renderer.resets;
    ::SendMessageW(overlay, WM_SIZE, SIZE_MINIMIZED, MAKELPARAM(300, 200));
    EXPECT_EQ(m.renderer.resets, resets);
    ::SendMessageW(overlay, WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 200));
    EXPECT_EQ(m.renderer.resets, resets + 1);
    EXPECT_EQ(m.renderer.lastResetWidth, 300u);
}

TEST(OverlayWindow, RenderFailureResetsAtTheGameSizeAndFailedResetsKeepTheFlag) {
    test::TestManager m;
    test::SampleGame game(L"--pos 100,100 --size 640x480");
    ASSERT_TRUE(m.Prepare(game.Pid(), false, nullptr));
    ASSERT_TRUE(m.UpdateUntil([&] { return m.renderer.renders > 0; }, 10000));
    m.renderer.renderResult = false;
    const int resets = m.renderer.resets;
    ASSERT_TRUE(m.UpdateUntil([&] { return m.renderer.resets > resets; }, 3000));
    EXPECT_EQ(m.renderer.lastResetWidth, m->Parts().frames.Width());
}
