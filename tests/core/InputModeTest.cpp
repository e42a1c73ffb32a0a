#include <windows.h>

#include <gtest/gtest.h>

#include "core/InputMode.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

// An overlay window of the test's own, over no game, with the input mode that styles it.
struct Mode : private test::FreshProcessState, OverlayWindow::Owner {
    Mode() {
        window.Create(::GetModuleHandleW(nullptr), 0, RECT{0, 0, 100, 100}, this);
        facts.overlay = window.Handle();
    }
    ~Mode() { window.Destroy(); }
    LRESULT OnOverlayMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    bool Transparent() const { return window.Transparent(); }

    OverlayFacts facts;
    OverlayWindow window;
    GameTracker tracker{facts};
    ForegroundForcer foreground{tracker.Windows(), facts};
    InputMode input{facts, window, foreground};
};

}  // namespace

// Over a windowed game, exclusive mode makes the overlay take the mouse and ends as it began; an on
// and off that was never applied leaves the click-through state the thread applied last, whatever
// the session published meanwhile.
TEST(InputMode, ExclusiveModeOverAWindowAndAChangeThatNeverCame) {
    Mode m;
    test::FakeController controller;
    ASSERT_TRUE(m.input.SetClickThrough(true, true, &controller));
    EXPECT_TRUE(m.Transparent());

    m.input.ExclusiveChanged(true, &controller);
    EXPECT_FALSE(m.facts.clickThrough.load());
    EXPECT_FALSE(m.Transparent());
    EXPECT_GT(controller.overlayActivated.load(), 0);
    m.input.ExclusiveChanged(false, &controller);
    EXPECT_TRUE(m.facts.clickThrough.load());
    EXPECT_TRUE(m.Transparent());

    m.facts.clickThrough = false;  // the session, the moment exclusive mode went on
    m.input.ExclusiveUnchanged();  // and off again before the window's thread took it
    EXPECT_TRUE(m.facts.clickThrough.load());
    EXPECT_FALSE(m.input.SetClickThrough(true, false, &controller));
}
