#include "core/OverlayParts.h"

#include "common/MessageWait.h"

bool OverlayParts::MakeWindow(HINSTANCE instance, DWORD exStyle, OverlayWindow::Owner* owner) {
    RECT at{0, 0, 10, 10};
    RECT rect{};
    if (tracker.Windows().UpdateGameWindowRect(rect, false) != 0) at = rect;
    if (!window.Create(instance, exStyle, at, owner)) return false;
    facts.overlay = window.Handle();
    facts.windowThreadId = ::GetCurrentThreadId();
    return true;
}

RenderTarget OverlayParts::Target() {
    RenderTarget target;
    target.window = window.Handle();
    target.monitor = tracker.Windows().Monitor();
    RECT rect{};
    if (tracker.Windows().UpdateGameWindowRect(rect, true) != 0) {
        target.width = static_cast<uint32_t>(rect.right - rect.left);
        target.height = static_cast<uint32_t>(rect.bottom - rect.top);
    }
    return target;
}

FrameInput OverlayParts::NextFrame() {
    int32_t type = 0;
    if (session.Cursors().Apply(&type)) input.TellBlockerCursor(type);
    FrameInput frame;
    frame.controller = session.Controller();
    frame.clickThrough = facts.clickThrough.load();
    frame.cursor = session.Cursors().ToDraw(&frame.cursorVersion);
    frame.monitor = tracker.Windows().Monitor();
    return frame;
}

bool OverlayParts::ShowOverGame(bool gameShown) {
    const bool wanted = gameShown && !tracker.Minimized() && !tracker.AreaEmpty() && !facts.RenderingOff();
    frames.Statistics().OverlayShown(wanted, base::NowMicroseconds());
    if (wanted == window.Shown()) return false;
    window.Show(wanted);
    return true;
}
