#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "gamewindow/GameWindowHandler.h"

// The overlay manager's single contact with the game's window: caches it, remembers the overlay's
// monitor and holds the full-screen state.
class WindowManager : public GameWindowHandler::Delegate {
public:
    // What the window side asks of the overlay manager that owns it.
    class Owner {
    public:
        virtual uint32_t GamePid() const = 0;
        virtual HWND OverlayWindow() const = 0;
        // The game's full-screen state changed: show or hide, foreground and reset, tell the client.
        virtual void HandleFullScreenModeChanged() = 0;
        // The overlay moved to another monitor: the adapter is checked at the next reset.
        virtual void SetAdapterCheckPending() = 0;
        // A lookup found `window` (or none): the client's controller hears of it.
        virtual void GameWindowFound(HWND window) = 0;
        // Whether the client asked the overlay to take the foreground when a UWP game's mode is cancelled.
        virtual bool TakesForegroundOnCancel() const = 0;

    protected:
        ~Owner() = default;
    };

    WindowManager() = default;
    ~WindowManager() = default;
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    bool UpdateFullScreenState(bool fullScreen) override;
    void SetCachedGameWindow(HWND window) override { gameWindow_ = window; }
    HWND GetCachedGameWindow() override { return gameWindow_; }
    HWND FindGameWindow() override { return Lookup(true); }
    void SetMonitor(HMONITOR monitor) override;
    HWND GetOverlayWindow() override;
    HWND GetGameWindow() override { return Lookup(false); }
    bool IsFullScreen() override { return fullScreen_; }
    uint32_t GetGameProcessId() override;
    bool TakesForegroundOnCancel() override { return owner_ && owner_->TakesForegroundOnCancel(); }

    void ForceForegroundWindow(HWND target, bool cancelMode);
    int32_t UpdateGameWindowRect(RECT& rect, bool force);

    // The owner and the handler, set while the overlay manager chooses its handler.
    void SetOwner(Owner* owner) { owner_ = owner; }
    bool HasOwner() const { return owner_ != nullptr; }
    void SetHandler(std::unique_ptr<GameWindowHandler> handler) { handler_ = std::move(handler); }
    void ReleaseHandler() { handler_.reset(); }
    GameWindowHandler* Handler() const { return handler_.get(); }
    HMONITOR Monitor() const { return monitor_; }
    bool FullScreenStateUpdated() const { return fullScreenStateUpdated_; }
    void SetFullScreenStateUpdated(bool updated) { fullScreenStateUpdated_ = updated; }

private:
    HWND Lookup(bool store);
    HWND ChooseAgain(HWND cached);

    Owner* owner_ = nullptr;
    std::unique_ptr<GameWindowHandler> handler_;
    // Read and written by the main thread, the worker and the hooks thread without a lock.
    std::atomic<HWND> gameWindow_{nullptr};
    HMONITOR monitor_ = nullptr;
    std::atomic<bool> fullScreen_{false};
    std::atomic<bool> fullScreenStateUpdated_{false};
    uint64_t lastChoiceTick_ = 0;
};
