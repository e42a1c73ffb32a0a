// The second reference client, on Dear ImGui, through the real host over the sample game.
#include <windows.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/OverlayTestSupport.h"

namespace {

bool Interactive(HWND overlay) { return (::GetWindowLongW(overlay, GWL_EXSTYLE) & WS_EX_TRANSPARENT) == 0; }

bool Has(const std::wstring& record, const char* line) {
    return test::ReadFileBytes(record).find(line) != std::string::npos;
}

}  // namespace

// Its window over the game; the mouse over it makes the overlay interactive, a click on its button
// reaches it and takes exclusive mode, a click beside it gives exclusive mode back and the next one
// reaches the game; the stop is clean.
TEST(ImGuiClient, DrawsTakesItsClicksAndGivesThemBack) {
    test::TempDir dir;
    const std::wstring record = dir / L"record.txt";
    test::HostRun run(test::Environment{{L"QMSAMPLE_RECORD", record}}, true,
                      L"--pos 200,150 --size 640x480", L"imgui-client");
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(test::WaitUntil([&] { return Has(record, "button at "); }, 15000)) << test::ReadFileBytes(record);
    int left = 0, top = 0, right = 0, bottom = 0;
    const std::string text = test::ReadFileBytes(record);
    const size_t at = text.find("button at ");
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(std::sscanf(text.c_str() + at, "button at %d %d %d %d", &left, &top, &right, &bottom), 4);
    const RECT area = run.game.ClientOnScreen();
    const POINT button{area.left + (left + right) / 2, area.top + (top + bottom) / 2};

    // Its window's body is drawn dark over the game; beside it the game shows.
    const POINT body{area.left + 24 + 200, area.top + 24 + 90};
    EXPECT_TRUE(test::WaitUntil([&] {
        const COLORREF c = test::ScreenPixel(body);
        return GetRValue(c) < 48 && GetGValue(c) < 48 && GetBValue(c) < 48;
    }, 10000)) << std::hex << test::ScreenPixel(body);
    const POINT beside{area.left + 500, area.top + 400};
    EXPECT_EQ(test::ScreenPixel(beside), RGB(0x20, 0x60, 0x80));

    // Over its window the overlay takes the mouse; the click on the button is the client's.
    ASSERT_TRUE(test::WaitUntil([&] {
        test::MoveMouse(POINT{button.x + 1, button.y});
        test::MoveMouse(button);
        test::PumpFor(50);
        return Interactive(run.overlay);
    }, 5000));
    const uintptr_t gameClicks = test::GameClicks(run.game.Window());
    for (int i = 0; i < 3 && !Has(record, "button pressed 1"); ++i) {
        test::Click(button);
        test::WaitUntil([&] { return Has(record, "button pressed 1"); }, 1000);
    }
    EXPECT_TRUE(Has(record, "button pressed 1")) << test::ReadFileBytes(record);
    EXPECT_TRUE(Has(record, "exclusive on"));
    EXPECT_EQ(test::GameClicks(run.game.Window()), gameClicks);

    // A click beside its window ends exclusive mode; a later one reaches the game.
    bool reached = false;
    for (int i = 0; i < 4 && !reached; ++i) {
        test::Click(beside);
        reached = test::WaitUntil([&] { return test::GameClicks(run.game.Window()) > gameClicks; }, 1000);
    }
    EXPECT_TRUE(Has(record, "exclusive off: click beside the window")) << test::ReadFileBytes(record);
    EXPECT_TRUE(reached);
    EXPECT_FALSE(Interactive(run.overlay));

    ::PostMessageW(run.client.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.client.Exited(5000));
    run.ExpectCleanExit(5000);
    run.ExpectStopRows();
    const std::string calls = test::ReadFileBytes(record);
    const size_t stop = calls.find("Stop\n");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_NE(calls.find("clearClient", stop), std::string::npos);
}

// The device is lost after some frames and making it again fails twice: the client's backend moves
// to the new device and draws there, and the stop is clean.
TEST(ImGuiClient, DrawsOnTheNewDeviceAfterADeviceLoss) {
    test::TempDir dir;
    const std::wstring record = dir / L"record.txt";
    test::HostRun run(test::Environment{{L"QMSAMPLE_RECORD", record}, {L"QM_TEST_DEVICE_REMOVED", L"30,2"}}, true,
                      L"--pos 200,150 --size 640x480", L"imgui-client");
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(test::WaitUntil([&] { return Has(record, "backend on device 2"); }, 15000)) << test::ReadFileBytes(record);
    const RECT area = run.game.ClientOnScreen();
    const POINT body{area.left + 24 + 200, area.top + 24 + 90};
    EXPECT_TRUE(test::WaitUntil([&] {
        const COLORREF c = test::ScreenPixel(body);
        return GetRValue(c) < 48 && GetGValue(c) < 48 && GetBValue(c) < 48;
    }, 10000)) << std::hex << test::ScreenPixel(body);
    ::PostMessageW(run.client.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.client.Exited(5000));
    run.ExpectCleanExit(5000);
    run.ExpectStopRows();
}
