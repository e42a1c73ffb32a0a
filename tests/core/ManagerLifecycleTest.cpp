#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

CommandLineArgs Arguments(DWORD gamePid) {
    CommandLineArgs args;
    args.Parse(L"qm-overlay.exe --qm-client=\"" + test::InExeDir(L"client") + L"\" --game-pid=" + std::to_wstring(gamePid) +
               L" --qm-pid=" + std::to_wstring(::GetCurrentProcessId()) + L" --game-process=sample-game.exe");
    return args;
}

}  // namespace

TEST(ManagerLifecycle, FollowsTheGameUntilTheClientAsksToStopThenShutsDownInOrder) {
    test::TempDir dir;
    const std::wstring record = dir / L"record.txt";
    test::ScopedEnv recordTo(L"QMSAMPLE_RECORD", record);
    test::ScopedEnv stopAfter(L"QMSAMPLE_STOP_AFTER_MS", L"4000");
    test::SampleGame game(L"--pos 150,120 --size 640x480");
    test::TestManager m;
    CommandLineArgs args = Arguments(game.Pid());
    EXPECT_EQ(m->Run(::GetModuleHandleW(nullptr), nullptr, &args), 0);
    EXPECT_TRUE(test::SameRect(test::WindowRect(m->Parts().facts.overlay.load()), game.ClientOnScreen()));
    EXPECT_GT(m.renderer.renders, 0);
    EXPECT_EQ(m.renderer.releases, 1);

    const std::string calls = test::ReadFileBytes(record);
    const size_t window = calls.find("SetGameWindow");
    const size_t cleared = calls.find("SetDelegate null");
    const size_t stopped = calls.find("Stop\n");
    const size_t clear = calls.find("clearClient");
    EXPECT_NE(window, std::string::npos);
    ASSERT_NE(cleared, std::string::npos);
    ASSERT_NE(clear, std::string::npos);
    EXPECT_LT(cleared, stopped);
    EXPECT_LT(stopped, clear);
    EXPECT_EQ(m->Parts().session.HooksThreadId(), 0u);  // stopped before the controller
}

TEST(ManagerLifecycle, ASimulatedErrorEndsInitWithItsValue) {
    const test::ScopedRegistryValue simulate(L"Software\\QuillmarQA\\Overlay", L"OOPOSimulateInitError", 5);
    test::TestManager m;
    CommandLineArgs args = Arguments(::GetCurrentProcessId());
    EXPECT_EQ(m->Run(::GetModuleHandleW(nullptr), nullptr, &args), 5);
    EXPECT_EQ(m.renderer.releases, 0);
}

TEST(ManagerLifecycle, InitFailuresReturnTheirStepsCodes) {
    {
        test::TestManager m;
        m.renderer.createResult = false;
        CommandLineArgs args = Arguments(::GetCurrentProcessId());
        EXPECT_EQ(m->Run(::GetModuleHandleW(nullptr), nullptr, &args), -997);
        EXPECT_EQ(m.renderer.releases, 0);
        // What the start had started is stopped: the hooks and the controller.
        EXPECT_EQ(m->Parts().session.HooksThreadId(), 0u);
        EXPECT_EQ(m->Parts().session.Controller(), nullptr);
    }
    {
        // The window class is taken: the window step fails.
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"OOPO_WINDOWS_CLASS";
        ASSERT_NE(::RegisterClassExW(&wc), 0);
        test::TestManager m;
        CommandLineArgs args = Arguments(::GetCurrentProcessId());
        EXPECT_EQ(m->Run(::GetModuleHandleW(nullptr), nullptr, &args), -998);
    }
}
