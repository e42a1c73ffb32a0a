#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

// What the overlay's threads know of the overlay and the game, as one snapshot the hooks and the
// client's threads read without a lock. Each fact is written by the part that owns it; a reader may
// see one fact a moment newer than another, and every decision taken from them is taken again at
// the next event.
struct OverlayFacts {
    // The overlay window and its thread: set once the window exists.
    std::atomic<HWND> overlay{nullptr};
    std::atomic<uint32_t> windowThreadId{0};
    // The game's window as last chosen (null while there is none).
    std::atomic<HWND> game{nullptr};
    // The game window's client area on screen as the last pass read it; left is kMinimizedLeft
    // while it is minimised.
    std::atomic<LONG> gameLeft{kMinimizedLeft}, gameTop{0}, gameRight{0}, gameBottom{0};
    std::atomic<bool> minimized{true};
    std::atomic<bool> fullScreen{false};
    // The configuration turns the overlay off over a full-screen game.
    std::atomic<bool> fullScreenRenderingOff{false};
    // The overlay lets the mouse through. Cleared the moment exclusive mode starts, so that the
    // hooks hand the mouse to the overlay before its thread has changed the style.
    std::atomic<bool> clickThrough{true};
    // The client asked the overlay to take the foreground when a UWP game's mode is cancelled.
    std::atomic<bool> takesForegroundOnCancel{false};
    // The input blocker's window in the game, once it was found.
    std::atomic<HWND> blocker{nullptr};

    static constexpr LONG kMinimizedLeft = -32000;

    bool OnWindowThread() const {
        const uint32_t id = windowThreadId.load();
        return id != 0 && ::GetCurrentThreadId() == id;
    }
    void PublishGameRect(const RECT& rect) {
        gameLeft = rect.left;
        gameTop = rect.top;
        gameRight = rect.right;
        gameBottom = rect.bottom;
    }
    RECT GameRect() const { return RECT{gameLeft.load(), gameTop.load(), gameRight.load(), gameBottom.load()}; }
    // The overlay is off over a full-screen game.
    bool RenderingOff() const { return fullScreenRenderingOff.load() && fullScreen.load(); }
};
