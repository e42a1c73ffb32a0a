#pragma once
#include <windows.h>

#include <cstdint>

// The overlay's window: its class, its handle and a procedure that hands every message to the
// object that owns the window (no process-wide look-up), and what the window itself can be told.
class OverlayWindow {
public:
    // Whom the window's messages go to.
    class Owner {
    public:
        virtual LRESULT OnOverlayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;

    protected:
        ~Owner() = default;
    };

    OverlayWindow() = default;
    ~OverlayWindow();
    OverlayWindow(const OverlayWindow&) = delete;
    OverlayWindow& operator=(const OverlayWindow&) = delete;

    // Registers the class and makes the window at `at`, hidden, layered and with its frame extended
    // over the client area. False, with the step's row logged, when a step fails.
    bool Create(HINSTANCE instance, DWORD exStyle, const RECT& at, Owner* owner);
    // The window (quietly: its owner hears nothing more) and the class. Safe to call again.
    void Destroy();
    // The class alone, for a window that lives on until the process ends.
    void UnregisterClass();

    HWND Handle() const { return window_; }
    bool Shown() const { return window_ && ::IsWindowVisible(window_) != FALSE; }
    // Shown without activation, or hidden.
    void Show(bool shown) const;
    // The click-through bit of the window's extended style.
    bool Transparent() const;
    // The one click-through style policy: transparent while click-through; interactive over a
    // windowed game the overlay takes the mouse itself; interactive over a full-screen game it stays
    // transparent (the game's input is blocked instead), a style that is only set again when
    // `again` asks (exclusive mode applied anew after a full-screen change).
    void ApplyClickThroughStyle(bool clickThrough, bool fullScreen, bool again) const;

    // Where the game is, as the pass has just read it.
    struct Game {
        HWND window = nullptr;
        uint32_t pid = 0;
        RECT rect{};  // its client area on screen; left at kMinimizedLeft while minimised
        bool minimized = true;
        bool fullScreenKnown = false;
        bool fullScreen = false;
    };
    static constexpr LONG kMinimizedLeft = -32000;

    // The window the overlay belongs directly under: the first shown window of another process
    // above the game, or top-most over a full-screen, minimised or hung game (or none at all).
    HWND InsertAfter(const Game& game) const;
    // At the game's place and size, its z-order left alone; false when the system refused.
    bool Move(const RECT& rect) const;
    // Exactly at `rect`.
    bool Matches(const RECT& rect) const;
    // Puts the overlay directly under the window it belongs under. When the game became the
    // foreground or `force` asks, it is also moved to the game's place at `width` x `height`;
    // otherwise nothing is done while it already lies there (top-most is asserted every time, as
    // other top-most windows may have come above it).
    void Place(const Game& game, bool force, uint32_t width, uint32_t height);
    // The foreground window as the last placement saw it.
    HWND LastForeground() const { return lastForeground_; }
    // Directly under `after` (top-most and first for HWND_TOPMOST), other hosts' overlays aside.
    bool LiesUnder(HWND after) const;
    // The windows right above and below the overlay, kept as a placement left them: while they are
    // the same, nothing has come between the overlay and the game or over it.
    void RememberNeighbours();
    bool NeighboursUnchanged() const;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    Owner* owner_ = nullptr;
    bool classRegistered_ = false;
    // The foreground as the last placement saw it.
    HWND lastForeground_ = nullptr;
    bool gameWasForeground_ = false;
    HWND above_ = nullptr;
    HWND below_ = nullptr;
};
