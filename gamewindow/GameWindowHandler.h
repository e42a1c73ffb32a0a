#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>

#include "gamewindow/FullScreenDetector.h"
#include "gamewindow/OverlayFacts.h"

// Finds, measures and foregrounds the game's window, and tells whether the game runs full screen.
class GameWindowHandler {
public:
    // Implemented by the window manager: what a handler found, and the game's window as the
    // manager chooses it. What a handler reads of the overlay comes from the overlay's facts.
    class Delegate {
    public:
        // The game's full-screen state as the handler found it; true when it changed.
        virtual bool UpdateFullScreenState(bool fullScreen) = 0;
        // The overlay's monitor as the handler found it.
        virtual void SetMonitor(HMONITOR monitor) = 0;
        // The game's window, chosen and kept (Find) or looked up only (Get).
        virtual HWND FindGameWindow() = 0;
        virtual HWND GetGameWindow() = 0;

    protected:
        ~Delegate() = default;
    };

    // Change codes of UpdateGameWindowRect.
    enum Change : int32_t { kUnchanged = 0, kMoved = 1, kResized = 2, kMovedAndResized = 3, kForced = 4 };

    GameWindowHandler(Delegate* delegate, const OverlayFacts& facts) : delegate_(delegate), facts_(facts) {}
    virtual ~GameWindowHandler() = default;
    GameWindowHandler(const GameWindowHandler&) = delete;
    GameWindowHandler& operator=(const GameWindowHandler&) = delete;

    virtual HWND GetGameWindowHandle(uint32_t processId) = 0;
    // `rect` receives the game's client area in screen coordinates.
    virtual int32_t UpdateGameWindowRect(RECT& rect, bool force) = 0;
    virtual void ForceForegroundWindow(HWND target, bool cancelMode) = 0;
    virtual void DetectFullScreen() = 0;
    virtual void AdjustClientRect(HWND game, RECT& rect) = 0;
    // Whether the window can be chosen again while the game runs (Win32: yes), and whether another
    // window of the game now wins over `cached` by the rules of choosing.
    virtual bool ChoosesAgain() const { return false; }
    virtual bool PrefersOther(HWND /*cached*/, uint32_t /*processId*/) { return false; }
    // The game's (adjusted) client area in screen coordinates, read until two reads agree, so a
    // window moving meanwhile never yields corners from two different places.
    bool ReadGameRect(HWND game, RECT& rect);

protected:
    Delegate* delegate_;
    const OverlayFacts& facts_;
    RECT lastRead_{};
    // The game's last client size (at 0,0) and client rectangle on the screen.
    RECT lastClientRect_{};
    RECT lastScreenRect_{};
};

// Classic desktop games: the process's own top-level window.
class Win32GameWindowHandler : public GameWindowHandler {
public:
    Win32GameWindowHandler(Delegate* delegate, const OverlayFacts& facts);

    HWND GetGameWindowHandle(uint32_t processId) override;
    int32_t UpdateGameWindowRect(RECT& rect, bool force) override;
    void ForceForegroundWindow(HWND target, bool cancelMode) override;
    void DetectFullScreen() override;
    void AdjustClientRect(HWND, RECT&) override {}
    bool ChoosesAgain() const override { return true; }
    bool PrefersOther(HWND cached, uint32_t processId) override;

private:
    std::unique_ptr<FullScreenDetector> detector_;
};

// UWP games: an application frame of another process hosts the game's window.
class UWPHandler : public Win32GameWindowHandler {
public:
    UWPHandler(Delegate* delegate, const OverlayFacts& facts, uint32_t gamePid);

    HWND GetGameWindowHandle(uint32_t processId) override;
    void ForceForegroundWindow(HWND target, bool cancelMode) override;
    void DetectFullScreen() override;
    void AdjustClientRect(HWND game, RECT& rect) override;
    // The frame's search also decides the full-screen state: it runs only where it always did.
    bool ChoosesAgain() const override { return false; }
    bool PrefersOther(HWND, uint32_t) override { return false; }

    HWND CoreWindow() const { return coreWindow_; }
    int32_t TitleBarHeight() const { return titleBarHeight_; }

private:
    HWND coreWindow_ = nullptr;
    int32_t titleBarHeight_ = 0;
    uint32_t gamePid_ = 0;
};
