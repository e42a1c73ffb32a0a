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
    void SetTransparent(bool transparent) const;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    Owner* owner_ = nullptr;
    bool classRegistered_ = false;
};
