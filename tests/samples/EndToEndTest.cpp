#include <windows.h>
#include <shlobj.h>

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
    test::TempDir profile;
    const std::wstring logs = profile.Path() + L"\\AppData\\Local\\QuillMar\\Log";
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, logs.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(test::WriteFileBytes(logs + L"\\QMLog.cfg", test::Utf16Bytes(L"SEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\n"
                                                                              L"SEVERITY_HIGH +\r\nERROR H\r\n")));
    test::SampleGame game(L"--pos 160,140 --size 640x480");
    test::SampleGame client(L"--hidden --title stand-in-client");
    ASSERT_NE(game.Window(), nullptr);

    ::SetEnvironmentVariableW(L"USERPROFILE", profile.Path().c_str());
    ::SetEnvironmentVariableW(L"QM_TEST_DEVICE_REMOVED", L"30,2");
    test::ChildProcess host(L"\"" + test::InExeDir(L"qm-overlay.exe") + L"\" --game-pid=" + std::to_wstring(game.Pid()) +
                            L" --qm-pid=" + std::to_wstring(client.Pid()) + L" --game-process=sample-game.exe \"--qm-client=" +
                            test::InExeDir(L"client") + L"\"");
    ::SetEnvironmentVariableW(L"USERPROFILE", nullptr);
    ::SetEnvironmentVariableW(L"QM_TEST_DEVICE_REMOVED", nullptr);
    ASSERT_TRUE(host.Started());

    HWND overlay = nullptr;
    const auto over = [&] {
        overlay = test::FindWindowOfProcess(L"OOPO_WINDOWS_CLASS", host.Pid());
        return overlay && ::IsWindowVisible(overlay) && test::SameRect(test::WindowRect(overlay), game.ClientOnScreen());
    };
    ASSERT_TRUE(test::WaitUntil(over, 20000));

    // The panel of the reference client, 16 pixels in from the overlay's corner.
    const auto panelPixel = [&] {
        const RECT area = game.ClientOnScreen();
        return ScreenPixel(area.left + 16 + 160, area.top + 16 + 48);
    };
    const auto panelShown = [&] {
        const COLORREF c = panelPixel();
        return GetRValue(c) == 0x20 && GetGValue(c) == 0x50 && GetBValue(c) == 0xB0;
    };
    EXPECT_TRUE(test::WaitUntil(panelShown, 10000)) << std::hex << panelPixel();

    // The device made again draws the panel again.
    const auto logText = [&] {
        const std::vector<std::wstring> files = test::ListFiles(logs, L"qm-overlay_sample-game.exe_*.Game.html");
        return files.size() == 1 ? test::ReadFileBytes(logs + L"\\" + files[0]) : std::string();
    };
    EXPECT_TRUE(test::WaitUntil([&] { return logText().find(">device re-created after 3 tries<") != std::string::npos; },
                                10000))
        << logText();
    EXPECT_TRUE(test::WaitUntil(panelShown, 5000)) << std::hex << panelPixel();

    // Following a move and a resize of the game.
    ::SetWindowPos(game.Window(), nullptr, 300, 200, 700, 500, SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(test::WaitUntil(over, 5000));
    ::ShowWindow(game.Window(), SW_MINIMIZE);
    EXPECT_TRUE(test::WaitUntil([&] { return !::IsWindowVisible(overlay); }, 5000));
    ::ShowWindow(game.Window(), SW_RESTORE);
    EXPECT_TRUE(test::WaitUntil(over, 5000));

    // The client's end stops the host with exit code 0 and a complete log. The loop sees the stop
    // at its next pass; after the restore a placement may first wait out the 2 s full-screen check.
    ::PostMessageW(client.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(client.Exited(5000));
    ASSERT_TRUE(host.WaitExit(2000 + 2000 + 1000));
    DWORD code = 1;
    ::GetExitCodeProcess(host.Handle(), &code);
    EXPECT_EQ(code, 0u);
    const std::string log = logText();
    for (const char* text : {"first render", ">device lost 0x887a0005, re-creating it<", "Quillmar terminated, stopping oopo",
                             "shutting down: 0", ">exit<"}) {
        EXPECT_NE(log.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(log.substr(log.size() - 5), "html>");
}
