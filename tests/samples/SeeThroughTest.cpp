// The overlay over the game where composition is missing (Wine): a per-pixel-alpha layered window,
// through which the game shows wherever the client drew nothing.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

bool Near(COLORREF c, int r, int g, int b, int tolerance = 3) {
    return std::abs(GetRValue(c) - r) <= tolerance && std::abs(GetGValue(c) - g) <= tolerance &&
           std::abs(GetBValue(c) - b) <= tolerance;
}

// The sample game's colour, and the reference client's panel: premultiplied (0x20, 0x50, 0xB0) at
// alpha 0xE0, which a compositor blends over the game to (35, 91, 191).
bool Game(COLORREF c) { return Near(c, 0x20, 0x60, 0x80, 0); }
bool Panel(COLORREF c, bool blended) { return blended ? Near(c, 35, 91, 191) : Near(c, 0x20, 0x50, 0xB0, 0); }

// 16 pixels in from the overlay's corner; and a point of the client area that the panel leaves clear.
POINT InPanel(const RECT& area) { return POINT{area.left + 16 + 160, area.top + 16 + 48}; }
POINT Clear(const RECT& area) { return POINT{area.left + (area.right - area.left) * 3 / 4, area.top + (area.bottom - area.top) * 3 / 4}; }

using test::Click;
using test::ScreenPixel;
uintptr_t Clicks(HWND game) { return test::GameClicks(game); }

// The screen as a player sees it, on a bare X server or, through tests/samples/with_compositor.sh,
// with a compositing manager (QM_TEST_COMPOSITOR=1), which blends what is half transparent.
void ExpectTheGameThroughTheOverlay(bool compositor) {
    test::HostRun run;
    ASSERT_TRUE(run.Running());
    EXPECT_TRUE(test::WaitUntil([&] { return run.Log().find(">presentation: layered<") != std::string::npos; }, 5000));
    RECT area = run.game.ClientOnScreen();
    EXPECT_TRUE(test::WaitUntil([&] { return Panel(ScreenPixel(InPanel(area)), compositor); }, 10000))
        << std::hex << ScreenPixel(InPanel(area));
    EXPECT_TRUE(Game(ScreenPixel(Clear(area)))) << std::hex << ScreenPixel(Clear(area));

    // Following a resize: the game still shows through, the panel still over it.
    ::SetWindowPos(run.game.Window(), nullptr, 260, 180, 760, 540, SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(test::WaitUntil([&] { return run.Covers(); }, 5000));
    area = run.game.ClientOnScreen();
    EXPECT_TRUE(test::WaitUntil([&] { return Panel(ScreenPixel(InPanel(area)), compositor) && Game(ScreenPixel(Clear(area))); },
                                5000))
        << std::hex << ScreenPixel(InPanel(area)) << " " << ScreenPixel(Clear(area));

    // Click-through: a click where the client drew nothing reaches the game. The test bed's X server
    // now and then drops an injected click that follows a resize (its input routing lags Wine's
    // placement): up to three clicks, a second apart, and how many it took is printed.
    const uintptr_t before = Clicks(run.game.Window());
    int clicks = 0;
    bool reached = false;
    while (!reached && clicks < 3) {
        Click(Clear(area));
        ++clicks;
        reached = test::WaitUntil([&] { return Clicks(run.game.Window()) > before; }, 1000);
    }
    std::printf("the game got the click after %d click(s)\n", clicks);
    EXPECT_TRUE(reached);

    // Hidden with the game and shown again, after the resize (Wine beside a compositing manager
    // then loses a layered window's picture): the picture comes back with it, though the client's
    // frames have not changed.
    ::Sleep(300);
    ::ShowWindow(run.game.Window(), SW_MINIMIZE);
    EXPECT_TRUE(test::WaitUntil([&] { return !::IsWindowVisible(run.overlay); }, 5000));
    ::Sleep(300);
    ::ShowWindow(run.game.Window(), SW_RESTORE);
    EXPECT_TRUE(test::WaitUntil([&] { return run.Covers(); }, 5000));
    area = run.game.ClientOnScreen();
    EXPECT_TRUE(test::WaitUntil([&] { return Panel(ScreenPixel(InPanel(area)), compositor) && Game(ScreenPixel(Clear(area))); },
                                5000))
        << std::hex << ScreenPixel(InPanel(area)) << " " << ScreenPixel(Clear(area));

    ::PostMessageW(run.client.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.client.Exited(5000));
    run.ExpectCleanExit(5000);
}

}  // namespace

TEST(SeeThrough, TheGameShowsWhereTheClientDrewNothingAndTakesTheClicksThere) { ExpectTheGameThroughTheOverlay(false); }

TEST(SeeThrough, WithACompositorTheClientsHalfTransparentPixelsAreBlendedOverTheGame) {
    char compositor[4] = {};
    if (::GetEnvironmentVariableA("QM_TEST_COMPOSITOR", compositor, sizeof(compositor)) == 0) {
        GTEST_SKIP() << "no compositing manager (run through tests/samples/with_compositor.sh)";
    }
    ExpectTheGameThroughTheOverlay(true);
}
