#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

class InputBlockerProxy;
class WindowManager;

// What the input side (the hooks, the controller's calls, the blocker) asks of the overlay it
// serves. The overlay manager answers; the input side knows it only through this.
class OverlayHost {
public:
    // Messages of the overlay window beyond its public ones (qm/OverlayWindowContract.h): the
    // host's own, posted by its other threads.
    static constexpr UINT kMsgApplyClickThrough = WM_USER + 11;
    static constexpr UINT kMsgApplyExclusive = WM_USER + 12;
    // The game's full-screen state changed during exclusive mode: its rules are applied again.
    static constexpr UINT kMsgApplyInputMode = WM_USER + 13;
    // The game rectangle's left edge while the game is minimised.
    static constexpr LONG kMinimizedLeft = -32000;

    // What the client's configuration is told of the renderer (qm::GameConfiguration::kRenderer...).
    virtual uint32_t RendererKind() = 0;
    virtual HWND OverlayWindow() const = 0;
    virtual const std::wstring& GameProcessName() const = 0;
    // The game window's client area in screen coordinates.
    virtual RECT GameRect() const = 0;
    virtual bool Minimized() const = 0;
    virtual bool IsGameFullScreen() = 0;
    virtual bool FullScreenRenderingOff() const = 0;
    virtual WindowManager& Windows() = 0;
    virtual InputBlockerProxy& InputProxy() = 0;
    virtual HWND BlockerWindow() const = 0;

    virtual bool ClickThrough() const = 0;
    // Set directly when exclusive mode starts; the styles are then changed by the caller.
    virtual void SetClickThroughFlag(bool clickThrough) = 0;
    // From any thread. The overlay's window thread applies the change at once; other threads (the
    // hooks, the controller's) post it to that thread and return without waiting, and the latest
    // request wins.
    virtual void RequestClickThrough(bool clickThrough) = 0;
    virtual bool OnWindowThread() const = 0;
    // Exclusive mode became `exclusive`: the click-through style, the log and the client hear that value.
    virtual void HandleExclusiveModeChanged(bool exclusive) = 0;
    // On the overlay's thread: exclusive mode's style, blocking and foreground for the game's state
    // now; `again` when it was on before and the game's full-screen state changed.
    virtual void ApplyExclusiveStyle(bool again) = 0;
    virtual void ForceForeground(HWND window, bool flag) = 0;
    virtual void SelectCursor(int32_t type, HCURSOR cursor) = 0;
    virtual void RequestStop() = 0;

protected:
    ~OverlayHost() = default;
};
