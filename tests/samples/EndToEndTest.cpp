#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/gamewindow/OverlayTestSupport.h"

namespace {

COLORREF ScreenPixel(int x, int y) {
    HDC screen = ::GetDC(nullptr);
    const COLORREF c = ::GetPixel(screen, x, y);
    ::ReleaseDC(nullptr, screen);
    return c;
}

}  // namespace

// The real host with the reference client over the sample game, until the client goes away; its
// device is lost early and stays lost for two tries.
TEST(EndToEnd, TheReferenceClientDrawsOverTheGameUntilTheClientEnds) {
    test::HostRun run(test::Environment{{L"QM_TEST_DEVICE_REMOVED", L"30,2"}});
    ASSERT_TRUE(run.Running());

    // The panel of the reference client, 16 pixels in from the overlay's corner.
    const auto panelPixel = [&] {
        const RECT area = run.game.ClientOnScreen();
        return ScreenPixel(area.left + 16 + 160, area.top + 16 + 48);
    };
    const auto panelShown = [&] {
        const COLORREF c = panelPixel();
        return GetRValue(c) == 0x20 && GetGValue(c) == 0x50 && GetBValue(c) == 0xB0;
    };
    EXPECT_TRUE(test::WaitUntil(panelShown, 10000)) << std::hex << panelPixel();

    // The device made again draws the panel again.
    EXPECT_TRUE(test::WaitUntil([&] { return run.Log().find(">device re-created after 3 tries<") != std::string::npos; },
                                10000))
        << run.Log();
    EXPECT_TRUE(test::WaitUntil(panelShown, 5000)) << std::hex << panelPixel();

    // Following a move and a resize of the game.
    ::SetWindowPos(run.game.Window(), nullptr, 300, 200, 700, 500, SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(test::WaitUntil([&] { return run.Covers(); }, 5000));
    ::ShowWindow(run.game.Window(), SW_MINIMIZE);
    EXPECT_TRUE(test::WaitUntil([&] { return !::IsWindowVisible(run.overlay); }, 5000));
    ::ShowWindow(run.game.Window(), SW_RESTORE);
    EXPECT_TRUE(test::WaitUntil([&] { return run.Covers(); }, 5000));

    // The client's end stops the host with exit code 0 and a complete log. The loop sees the stop
    // at its next pass; after the restore a placement may first wait out the 2 s full-screen check.
    ::PostMessageW(run.client.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.client.Exited(5000));
    run.ExpectCleanExit(2000 + 2000 + 1000);
    run.ExpectStopRows();
    const std::string log = run.Log();
    for (const char* text : {">first render<", ">device lost 0x887a0005, re-creating it<", ">device re-created after 3 tries<"}) {
        EXPECT_EQ(test::Count(log, text), 1u) << text;  // once per process, once per run of tries
    }
    EXPECT_EQ(test::Count(log, "D3D11CreateDeviceAndSwapChain failed"), 0u);  // the tries are quiet
}
