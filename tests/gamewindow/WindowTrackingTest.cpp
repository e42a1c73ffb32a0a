#include <windows.h>

#include <vector>

#include <gtest/gtest.h>

#include "gamewindow/FullScreenDetector.h"
#include "gamewindow/GameWindowHandler.h"
#include "gamewindow/GameWindowState.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

// A delegate that records what the handler reports.
class RecordingDelegate : public GameWindowHandler::Delegate {
public:
    explicit RecordingDelegate(DWORD pid) : pid_(pid) {}
    bool UpdateFullScreenState(bool fullScreen) override {
        states.push_back(fullScreen);
        return facts.fullScreen.exchange(fullScreen) != fullScreen;
    }
    void SetMonitor(HMONITOR monitor) override { monitors.push_back(monitor); }
    HWND FindGameWindow() override {
        if (!cached && handler) cached = handler->GetGameWindowHandle(pid_);
        return cached;
    }
    HWND GetGameWindow() override { return FindGameWindow(); }

    OverlayFacts facts;  // what the handler reads of the overlay
    GameWindowHandler* handler = nullptr;
    HWND cached = nullptr;
    std::vector<bool> states;
    std::vector<HMONITOR> monitors;

private:
    DWORD pid_;
};

QUERY_USER_NOTIFICATION_STATE gFakeState = QUNS_ACCEPTS_NOTIFICATIONS;
HRESULT WINAPI FakeQuery(QUERY_USER_NOTIFICATION_STATE* state) {
    *state = gFakeState;
    return S_OK;
}
HRESULT WINAPI FailingQuery(QUERY_USER_NOTIFICATION_STATE*) { return E_FAIL; }

void MoveGame(HWND game, int x, int y, int w, int h) {
    ::SetWindowPos(game, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

TEST(Win32GameWindowHandler, FindsOnlyVisibleWindowsOfAtLeast300By300) {
    test::SampleGame small(L"--size 299x600 --title small");
    ASSERT_NE(small.Window(), nullptr);
    RecordingDelegate d(small.Pid());
    Win32GameWindowHandler handler(&d, d.facts);
    // 299 wide as a window is less than 299 of client area: never found.
    EXPECT_EQ(handler.GetGameWindowHandle(small.Pid()), nullptr);

    test::SampleGame game(L"--size 640x480");
    EXPECT_EQ(handler.GetGameWindowHandle(game.Pid()), game.Window());
    ::ShowWindow(game.Window(), SW_HIDE);
    ASSERT_TRUE(test::WaitUntil([&] { return !::IsWindowVisible(game.Window()); }, 2000));
    EXPECT_EQ(handler.GetGameWindowHandle(game.Pid()), nullptr);
    EXPECT_EQ(handler.GetGameWindowHandle(::GetCurrentProcessId()), nullptr);
}

TEST(Win32GameWindowHandler, ChangeCodesForMovesResizesAndForcedUpdates) {
    GameWindowState::Reset();
    test::SampleGame game(L"--pos 50,60 --size 640x480");
    RecordingDelegate d(game.Pid());
    Win32GameWindowHandler handler(&d, d.facts);
    d.handler = &handler;
    RECT r{};
    // The first reading is a move and a resize.
    EXPECT_EQ(handler.UpdateGameWindowRect(r, false), GameWindowHandler::kMovedAndResized);
    EXPECT_TRUE(test::SameRect(r, game.ClientOnScreen()));
    EXPECT_EQ(d.monitors.size(), 1u);
    EXPECT_EQ(handler.UpdateGameWindowRect(r, false), GameWindowHandler::kUnchanged);
    EXPECT_EQ(handler.UpdateGameWindowRect(r, true), GameWindowHandler::kForced);

    MoveGame(game.Window(), 51, 60, 640, 480);
    EXPECT_EQ(handler.UpdateGameWindowRect(r, false), GameWindowHandler::kMoved);
    EXPECT_EQ(d.monitors.size(), 2u);
    EXPECT_TRUE(test::SameRect(r, game.ClientOnScreen()));
    MoveGame(game.Window(), 51, 60, 700, 500);
    EXPECT_EQ(handler.UpdateGameWindowRect(r, false), GameWindowHandler::kResized);
    EXPECT_EQ(r.right - r.left, game.ClientOnScreen().right - game.ClientOnScreen().left);
    MoveGame(game.Window(), 80, 90, 720, 520);
    EXPECT_EQ(handler.UpdateGameWindowRect(r, false), GameWindowHandler::kMovedAndResized);
    MoveGame(game.Window(), 81, 90, 720, 520);
    EXPECT_EQ(handler.UpdateGameWindowRect(r, true), GameWindowHandler::kForced);

    // Without a game window the overlay is hidden and nothing changes.
    const test::ScopedWindow overlay(
        ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr));
    RecordingDelegate none(1);
    none.facts.overlay = overlay.Get();
    Win32GameWindowHandler lonely(&none, none.facts);
    EXPECT_EQ(lonely.UpdateGameWindowRect(r, true), GameWindowHandler::kUnchanged);
    EXPECT_FALSE(::IsWindowVisible(overlay.Get()));
}

TEST(Win32GameWindowHandler, FullScreenComesFromTheShellsNotificationState) {
    RecordingDelegate d(1);
    Win32GameWindowHandler handler(&d, d.facts);
    Overlay::GameWindow::SetNotificationStateQuery(&FakeQuery);
    gFakeState = QUNS_RUNNING_D3D_FULL_SCREEN;
    handler.DetectFullScreen();
    gFakeState = QUNS_BUSY;
    handler.DetectFullScreen();
    Overlay::GameWindow::SetNotificationStateQuery(&FailingQuery);
    handler.DetectFullScreen();
    Overlay::GameWindow::SetNotificationStateQuery(nullptr);
    handler.DetectFullScreen();  // the system's own answer: never full screen here
    EXPECT_EQ(d.states, (std::vector<bool>{true, false, false, false}));
}

TEST(Win32GameWindowHandler, ForegroundIsNotTakenFromAThirdWindow) {
    test::SampleGame game;
    RecordingDelegate d(game.Pid());
    Win32GameWindowHandler handler(&d, d.facts);
    d.handler = &handler;
    const test::ScopedWindow third(::CreateWindowExW(0, L"STATIC", L"third", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300,
                                                     300, nullptr, nullptr, nullptr, nullptr));
    ::SetForegroundWindow(third.Get());
    test::WaitUntil([&] { return ::GetForegroundWindow() == third.Get(); }, 2000);
    handler.ForceForegroundWindow(game.Window(), false);
    EXPECT_EQ(::GetForegroundWindow(), third.Get());
}

TEST(UWPHandler, FindsTheFrameItsTitleBarAndCoreWindow) {
    GameWindowState::Reset();
    test::SampleGame game(L"--uwp --pos 100,100 --size 800x600 --title uwp-game");
    ASSERT_NE(game.Window(), nullptr);
    RecordingDelegate d(game.Pid());
    UWPHandler handler(&d, d.facts, game.Pid());
    d.handler = &handler;
    HWND frame = handler.GetGameWindowHandle(game.Pid());
    ASSERT_NE(frame, nullptr);
    char name[64] = {};
    ::GetClassNameA(frame, name, sizeof(name));
    EXPECT_STREQ(name, "ApplicationFrameWindow");
    EXPECT_EQ(handler.TitleBarHeight(), 32);
    ASSERT_NE(handler.CoreWindow(), nullptr);
    ::GetClassNameA(handler.CoreWindow(), name, sizeof(name));
    EXPECT_STREQ(name, "Windows.UI.Core.CoreWindow");
    EXPECT_EQ(d.states, std::vector<bool>{false});

    // The overlay covers the content below the title bar; maximised, 8 more pixels go.
    RECT r{};
    handler.UpdateGameWindowRect(r, true);
    RECT frameClient{};
    ::GetClientRect(frame, &frameClient);
    POINT origin{0, 0};
    ::ClientToScreen(frame, &origin);
    EXPECT_EQ(r.top, origin.y + 32);
    EXPECT_EQ(r.left, origin.x);
    ::ShowWindow(frame, SW_MAXIMIZE);
    ASSERT_TRUE(test::WaitUntil([&] { return ::IsZoomed(frame) != FALSE; }, 2000));
    handler.UpdateGameWindowRect(r, true);
    origin = POINT{0, 0};
    ::ClientToScreen(frame, &origin);
    EXPECT_EQ(r.top, origin.y + 40);

    d.states.clear();
    handler.DetectFullScreen();
    EXPECT_EQ(d.states, (std::vector<bool>{false, false}));
}

TEST(UWPHandler, AGameWithoutAFrameIsFullScreen) {
    test::SampleGame game(L"--title no-frame");
    RecordingDelegate d(game.Pid());
    UWPHandler handler(&d, d.facts, game.Pid());
    EXPECT_EQ(handler.GetGameWindowHandle(game.Pid()), nullptr);
    EXPECT_EQ(d.states, std::vector<bool>{true});
    handler.DetectFullScreen();  // nothing found: reported once by the lookup only
    EXPECT_EQ(d.states, (std::vector<bool>{true, true}));
}

TEST(WindowManager, FullScreenChangesAreReportedOnceWithTheirMessages) {
    test::FakeController controller;
    test::TestManager m;
    ASSERT_TRUE(m.Prepare(1, false, &controller, false));
    WindowManager& w = m->Parts().tracker.Windows();
    MSG msg;
    while (::PeekMessageW(&msg, m->Parts().facts.overlay.load(), 0, 0, PM_REMOVE)) {
    }
    EXPECT_TRUE(w.UpdateFullScreenState(true));
    EXPECT_FALSE(w.UpdateFullScreenState(true));
    EXPECT_TRUE(w.FullScreenStateUpdated());
    EXPECT_TRUE(w.IsFullScreen());
    // Reported as one change, with one message, which the overlay's thread takes.
    EXPECT_EQ(controller.windowModeRestored.load(), 0);
    MSG changed;
    ASSERT_TRUE(::PeekMessageW(&changed, m->Parts().facts.overlay.load(), WindowManager::kMsgChanged, WindowManager::kMsgChanged,
                               PM_REMOVE));
    ::DispatchMessageW(&changed);
    std::vector<UINT> posted;
    while (::PeekMessageW(&msg, m->Parts().facts.overlay.load(), WM_USER, WM_USER + 100, PM_REMOVE)) {
        posted.push_back(msg.message);
        EXPECT_EQ(msg.wParam, 1u);
        EXPECT_EQ(msg.lParam, 1);
    }
    EXPECT_EQ(posted, (std::vector<UINT>{1032, 1033}));
    EXPECT_EQ(controller.windowModeRestored.load(), 1);
    // Full-screen rendering on: the overlay stays shown.
    EXPECT_TRUE(::IsWindowVisible(m->Parts().facts.overlay.load()));

}

TEST(WindowManager, FullScreenRenderingOffHidesTheOverlayOverAFullScreenGame) {
    test::TestManager m;  // the configuration is fresh from here on, and once it is gone
    GetGameConfiguration()->SetByte(qm::GameConfiguration::kFullScreenRenderingOff, 1);
    ASSERT_TRUE(m.Prepare(1, false, nullptr));
    WindowManager& w = m->Parts().tracker.Windows();
    EXPECT_TRUE(w.UpdateFullScreenState(true));
    m.Pass();
    EXPECT_FALSE(::IsWindowVisible(m->Parts().facts.overlay.load()));
    EXPECT_TRUE(w.UpdateFullScreenState(false));
    m.Pass();
    EXPECT_TRUE(::IsWindowVisible(m->Parts().facts.overlay.load()));
}

TEST(WindowManager, MonitorChangesAndTheGameWindowCache) {
    test::FakeController controller;
    test::TestManager m;
    test::SampleGame game;
    ASSERT_TRUE(m.Prepare(game.Pid(), false, &controller, false));
    WindowManager& w = m->Parts().tracker.Windows();

    HMONITOR monitor = ::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    w.SetMonitor(nullptr);
    w.TakeChanges();
    w.SetMonitor(monitor);
    w.SetMonitor(monitor);
    EXPECT_EQ(w.TakeChanges(), static_cast<uint32_t>(WindowManager::kMonitorChanged));
    // The frame loop then looks at the adapter once.
    m->Parts().frames.CheckAdapterLater();
    EXPECT_FALSE(m->Parts().frames.FollowAdapter(RenderTarget{}));  // checked: the adapter is the same
    EXPECT_FALSE(m->Parts().frames.AdapterCheckPending());

    // GetGameWindow looks up without keeping; FindGameWindow keeps; both say what they found, which
    // the controller hears at the next pass.
    w.SetCachedGameWindow(nullptr);
    EXPECT_EQ(w.GetGameWindow(), game.Window());
    EXPECT_EQ(w.GetCachedGameWindow(), nullptr);
    EXPECT_EQ(w.TakeChanges(), static_cast<uint32_t>(WindowManager::kWindowSearched));
    EXPECT_EQ(w.FoundWindow(), game.Window());
    EXPECT_EQ(w.FindGameWindow(), game.Window());
    EXPECT_EQ(w.GetCachedGameWindow(), game.Window());
    m.Pass();
    EXPECT_EQ(controller.gameWindow.load(), game.Window());

    // A destroyed game window is dropped from the cache and the controller hears of it.
    ::PostMessageW(game.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(game.Exited(5000));
    EXPECT_TRUE(test::WaitUntil([&] { return w.GetGameWindow() == nullptr; }, 5000));
    EXPECT_EQ(w.GetCachedGameWindow(), nullptr);
    m.Pass();
    EXPECT_EQ(controller.gameWindow.load(), nullptr);
}
