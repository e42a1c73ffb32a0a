#include <windows.h>

#include <cstdio>
#include <initializer_list>
#include <thread>

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

// One batch: nothing else comes between its events.
void Mouse(std::initializer_list<DWORD> flags) {
    INPUT input[2] = {};
    UINT n = 0;
    for (DWORD flag : flags) {
        input[n].type = INPUT_MOUSE;
        input[n++].mi.dwFlags = flag;
    }
    ::SendInput(n, input, sizeof(INPUT));
}

void Button(DWORD flag) { Mouse({flag}); }

void Move(int x, int y) {
    ::SetCursorPos(x, y);
    Mouse({MOUSEEVENTF_MOVE});
}

void Click(int x, int y) {
    ::SetCursorPos(x, y);
    Mouse({MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP});
}

void Key(WORD vk, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    ::SendInput(1, &input, sizeof(INPUT));
}

// A manager following a sample game, with the hooks thread running on a fake controller.
struct HookedOverlay {
    test::FakeController controller;
    test::SampleGame game{L"--pos 200,200 --size 640x480"};
    test::TestManager m;
    RECT client{};

    bool Ready() {
        if (!m.Prepare(game.Pid(), false, &controller)) return false;
        m->Parts().tracker.Windows().SetFullScreenStateUpdated(true);
        if (!m.UpdateUntil([&] { return ::IsWindowVisible(m->Parts().facts.overlay.load()) && !m->Parts().facts.minimized.load(); }, 10000)) return false;
        client = test::WindowRect(m->Parts().facts.overlay.load());
        // The cursor must have been showing for 500 ms before the overlay may take the mouse:
        // moves go on until the controller hears of one.
        return test::WaitUntil([&] {
            Move(client.left + 5, client.top + 5);
            test::PumpFor(50);
            return controller.mouseHooks.load() > 0;
        }, 10000);
    }
    // Waits until the hooks thread has seen what was sent.
    bool Settle(const std::function<bool()>& done) { return test::WaitUntil(done, 3000); }
};

}  // namespace

TEST(LowLevelHooks, ClicksWhileTheGameIsMinimisedGoOutsideOnce) {
    HookedOverlay o;
    ASSERT_TRUE(o.Ready());
    ::ShowWindow(o.game.Window(), SW_MINIMIZE);
    ASSERT_TRUE(o.m.UpdateUntil([&] { return o.m->Parts().facts.minimized.load(); }, 5000));
    const int hooks = o.controller.mouseHooks.load();
    Move(o.client.left + 20, o.client.top + 20);
    test::PumpFor(200);
    EXPECT_EQ(o.controller.clicksOutside.load(), 0);
    Button(MOUSEEVENTF_LEFTDOWN);
    ASSERT_TRUE(o.Settle([&] { return o.controller.clicksOutside.load() >= 1; }));
    test::PumpFor(200);
    EXPECT_EQ(o.controller.clicksOutside.load(), 1);
    Button(MOUSEEVENTF_LEFTUP);
    EXPECT_EQ(o.controller.mouseHooks.load(), hooks);
    EXPECT_TRUE(o.m->Parts().facts.clickThrough.load());
}

TEST(LowLevelHooks, TheAreaReachesThirtyPixelsAboveTheClientTop) {
    HookedOverlay o;
    ASSERT_TRUE(o.Ready());
    const int width = o.client.right - o.client.left;

    Click(o.client.left + 10, o.client.top - 30);
    ASSERT_TRUE(o.Settle([&] { return o.controller.lastHookMessage.load() == WM_LBUTTONUP; }));
    EXPECT_EQ(o.controller.clicksOutside.load(), 0);
    // Packed as (y << 16) + x, sign-extended.
    EXPECT_EQ(o.controller.lastHookPosition.load(), static_cast<int64_t>(static_cast<int32_t>((static_cast<uint32_t>(-30) << 16) + 10u)));

    Click(o.client.left + 10, o.client.top - 31);
    ASSERT_TRUE(o.Settle([&] { return o.controller.clicksOutside.load() == 2; }));

    const int hooks = o.controller.mouseHooks.load();
    Click(o.client.left + width, o.client.top + 10);  // x equal to the width is inside
    ASSERT_TRUE(o.Settle([&] { return o.controller.mouseHooks.load() >= hooks + 2; }));
    EXPECT_EQ(o.controller.clicksOutside.load(), 2);
    EXPECT_EQ(o.controller.lastHookFlags.load(), 0u);  // left up has no flags; left down had 1
}

TEST(LowLevelHooks, HandledEventsMakeTheOverlayInteractive) {
    HookedOverlay o;
    ASSERT_TRUE(o.Ready());
    o.controller.handleMouse = true;
    // The click that makes the overlay interactive is the overlay's: the game never gets it, though
    // the style changes only once the window's thread has run. (Called here as the hooks thread would.)
    MSLLHOOKSTRUCT click{};
    click.pt = POINT{o.client.left + 40, o.client.top + 40};
    EXPECT_EQ(OOPHooksManager::MouseHookProc(HC_ACTION, WM_LBUTTONDOWN, reinterpret_cast<LPARAM>(&click)), 1);
    o.m.SetClickThrough(true, true);
    // Repeated: under load the first move may still fall in the cursor's first half second.
    ASSERT_TRUE(o.Settle([&] {
        Move(o.client.left + 50, o.client.top + 50);
        test::PumpFor(50);
        return !o.m->Parts().facts.clickThrough.load();
    }));
    EXPECT_EQ(::GetWindowLongW(o.m->Parts().facts.overlay.load(), GWL_EXSTYLE) & WS_EX_TRANSPARENT, 0);
    // Interactive: the hook leaves the mouse to the overlay's window procedure.
    const int hooks = o.controller.mouseHooks.load();
    Move(o.client.left + 60, o.client.top + 60);
    test::PumpFor(200);
    EXPECT_EQ(o.controller.mouseHooks.load(), hooks);
    EXPECT_GT(o.controller.mouseMessages.load(), 0);  // through WM_MOUSEMOVE on the overlay
}

TEST(LowLevelHooks, ForHalfASecondAfterExclusiveModeEveryEventPassesThrough) {
    HookedOverlay o;
    ASSERT_TRUE(o.Ready());
    o.controller.handleMouse = true;
    o.m->Parts().session.OnExclusiveModeChanged(true);
    EXPECT_FALSE(o.m->Parts().facts.clickThrough.load());
    o.m->Parts().session.OnExclusiveModeChanged(false);
    test::PumpFor(50);
    EXPECT_TRUE(o.m->Parts().facts.clickThrough.load());
    const int hooks = o.controller.mouseHooks.load();
    Move(o.client.left + 70, o.client.top + 70);
    test::PumpFor(150);
    EXPECT_EQ(o.controller.mouseHooks.load(), hooks);
    EXPECT_TRUE(o.m->Parts().facts.clickThrough.load());
    test::PumpFor(500);
    Move(o.client.left + 80, o.client.top + 80);
    EXPECT_TRUE(o.Settle([&] { return o.controller.mouseHooks.load() > hooks; }));
}

TEST(LowLevelHooks, AltTabIsPassedOnWhenTheControllerSwallowsEveryKey) {
    HookedOverlay o;
    ASSERT_TRUE(o.Ready());
    o.controller.swallowKeys = true;
    Key(VK_TAB, false);
    Key(VK_TAB, true);
    ASSERT_TRUE(o.Settle([&] { return o.controller.tabKeys.load() == 2; }));
    // Wine does not mark injected keys with LLKHF_ALTDOWN: the event as the system gives it with
    // Alt held goes to the procedure directly.
    KBDLLHOOKSTRUCT altTab{};
    altTab.vkCode = VK_TAB;
    altTab.flags = LLKHF_ALTDOWN;
    OOPHooksManager::KeyboardHookProc(HC_ACTION, WM_SYSKEYDOWN, reinterpret_cast<LPARAM>(&altTab));
    EXPECT_EQ(o.controller.tabKeys.load(), 2);
    altTab.flags = 0;
    EXPECT_EQ(OOPHooksManager::KeyboardHookProc(HC_ACTION, WM_KEYDOWN, reinterpret_cast<LPARAM>(&altTab)), 1);
    EXPECT_EQ(o.controller.tabKeys.load(), 3);
    // Alt's own events: the controller sees them, and they go on whatever it answers, so the system
    // knows that Alt is held when Tab comes.
    for (const DWORD vk : {VK_MENU, VK_LMENU, VK_RMENU}) {
        KBDLLHOOKSTRUCT alt{};
        alt.vkCode = vk;
        EXPECT_NE(OOPHooksManager::KeyboardHookProc(HC_ACTION, WM_SYSKEYDOWN, reinterpret_cast<LPARAM>(&alt)), 1) << vk;
        EXPECT_NE(OOPHooksManager::KeyboardHookProc(HC_ACTION, WM_KEYUP, reinterpret_cast<LPARAM>(&alt)), 1) << vk;
    }
    EXPECT_EQ(o.controller.altKeys.load(), 6);

    // Real keys, as the system delivers them (under Wine Tab carries no LLKHF_ALTDOWN): Tab while
    // Alt is held goes on, after Alt's release it is the controller's again.
    const int tabs = o.controller.tabKeys.load();
    const int alts = o.controller.altKeys.load();
    Key(VK_LMENU, false);
    Key(VK_TAB, false);
    Key(VK_TAB, true);
    Key(VK_LMENU, true);
    ASSERT_TRUE(o.Settle([&] { return o.controller.altKeys.load() == alts + 2; }));
    EXPECT_EQ(o.controller.tabKeys.load(), tabs);
    Key(VK_TAB, false);
    Key(VK_TAB, true);
    EXPECT_TRUE(o.Settle([&] { return o.controller.tabKeys.load() == tabs + 2; }));
}

namespace {
// A blocker window of this process, counting the block messages it gets and keeping the last one.
struct RecordingBlocker {
    static inline UINT message = 0;
    static inline int count = 0;
    static inline WPARAM last = 0;
    static inline WNDPROC base = nullptr;
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        if (m == message && message != 0) {
            ++count;
            last = wp;
            return 0;
        }
        return ::CallWindowProcW(base, w, m, wp, lp);
    }
    test::ScopedWindow window;
    RecordingBlocker() : window(Make()) {
        message = ::RegisterWindowMessageA("QM.ClientOOPO.Block");
        base = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(window.Get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
    }
    static HWND Make() {
        char name[64];
        std::snprintf(name, sizeof(name), "QM.ClientOOPO.%lu", ::GetCurrentProcessId());
        return ::CreateWindowExA(0, "STATIC", name, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }
};
}  // namespace

// The game leaves or enters full screen while exclusive mode is on: the player's input must reach
// either the overlay (windowed: interactive, the game free) or, through the hooks, the controller
// (full screen: click-through, the game blocked).
TEST(LowLevelHooks, AFullScreenChangeDuringExclusiveModeAppliesItsRulesAgain) {
    HookedOverlay o;
    ASSERT_TRUE(o.Ready());
    RecordingBlocker blocker;
    o.m->Parts().input.Blocker().MarkLaunched(::GetCurrentProcessId());
    const auto transparent = [&] { return (::GetWindowLongW(o.m->Parts().facts.overlay.load(), GWL_EXSTYLE) & WS_EX_TRANSPARENT) != 0; };

    o.m->Parts().tracker.Windows().UpdateFullScreenState(true);
    o.m->Parts().session.OnExclusiveModeChanged(true);
    test::PumpFor(100);
    EXPECT_TRUE(transparent());
    EXPECT_EQ(RecordingBlocker::last, 1u);

    o.m->Parts().tracker.Windows().UpdateFullScreenState(false);
    test::PumpFor(100);
    EXPECT_FALSE(transparent());
    EXPECT_EQ(RecordingBlocker::last, 0u);
    EXPECT_EQ(::SendMessageW(o.m->Parts().facts.overlay.load(), WM_NCHITTEST, 0, 0), HTCLIENT);

    o.m->Parts().tracker.Windows().UpdateFullScreenState(true);
    test::PumpFor(100);
    EXPECT_TRUE(transparent());
    EXPECT_EQ(RecordingBlocker::last, 1u);
    o.m->Parts().session.OnExclusiveModeChanged(false);
    test::PumpFor(100);
}

TEST(LowLevelHooks, TheThreadStopsAndLeavesNoHooks) {
    test::FakeController controller;
    test::TestManager m;
    ASSERT_TRUE(m.Prepare(1, false, &controller));
    ASSERT_TRUE(test::WaitUntil([&] { return m->Parts().session.HooksThreadId() != 0; }, 3000));
    m->Parts().session.StopHooksThread();
    EXPECT_EQ(m->Parts().session.HooksThreadId(), 0u);
    EXPECT_EQ(controller.hooksFailed.load(), 0);
    const int keys = controller.keys.load();
    Key(VK_SHIFT, false);
    Key(VK_SHIFT, true);
    test::PumpFor(200);
    EXPECT_EQ(controller.keys.load(), keys);
}

TEST(LowLevelHooks, HookEventsAndControllerCallsNeverWaitOnTheBusyWindowThreadAndTheLatestStateWins) {
    test::FakeController controller;
    test::TestManager m;
    ASSERT_TRUE(m.Prepare(1, false, &controller));
    HWND overlay = m->Parts().facts.overlay.load();
    ASSERT_TRUE(m.SetClickThrough(false, false));

    // This thread, the overlay's, takes no message until the other thread is done.
    base::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread other([&] {
        m->Parts().session.OnExclusiveModeChanged(true);
        MSLLHOOKSTRUCT event{};  // the game is minimised: the overlay lets the mouse through
        OOPHooksManager::MouseHookProc(HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&event));
        m->Parts().session.OnExclusiveModeChanged(false);
        ::SetEvent(done.Get());
    });
    const bool returned = ::WaitForSingleObject(done.Get(), 10000) == WAIT_OBJECT_0;
    EXPECT_TRUE(returned);
    test::PumpMessages();
    other.join();
    test::PumpMessages();
    EXPECT_FALSE(OOPHooksManager::IsExclusive());
    EXPECT_TRUE(m->Parts().facts.clickThrough.load());
    EXPECT_NE(::GetWindowLongW(overlay, GWL_EXSTYLE) & WS_EX_TRANSPARENT, 0);
}

namespace {
HANDLE gHookEntered = nullptr;
HWND gWaitOn = nullptr;
constexpr UINT kWaitOnWindowThread = WM_APP + 7;

LRESULT CALLBACK WaitOnWindowThread(int code, WPARAM wParam, LPARAM lParam) {
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && msg && msg->message == kWaitOnWindowThread) {
        ::SetEvent(gHookEntered);
        ::SendMessageW(gWaitOn, WM_NULL, 0, 0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
}  // namespace

TEST(LowLevelHooks, ShutdownEndsAHooksThreadThatWaitsOnTheWindowThread) {
    test::FakeController controller;
    test::TestManager m;
    ASSERT_TRUE(m.Prepare(1, false, &controller));
    ASSERT_TRUE(test::WaitUntil([&] { return m->Parts().session.HooksThreadId() != 0; }, 3000));
    base::UniqueHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    gHookEntered = entered.Get();
    gWaitOn = m->Parts().facts.overlay.load();
    const DWORD hooksThread = m->Parts().session.HooksThreadId();
    HHOOK hook = ::SetWindowsHookExW(WH_GETMESSAGE, &WaitOnWindowThread, nullptr, hooksThread);
    ASSERT_NE(hook, nullptr);
    const test::ScopeExit unhook([hook] { ::UnhookWindowsHookEx(hook); });
    ::PostThreadMessageW(hooksThread, kWaitOnWindowThread, 0, 0);
    // Not pumping: the hooks thread now waits on this one.
    ASSERT_EQ(::WaitForSingleObject(entered.Get(), 10000), WAIT_OBJECT_0);
    m->Shutdown();
    EXPECT_EQ(m->Parts().session.HooksThreadId(), 0u);
    EXPECT_EQ(controller.stops.load(), 1);
}
