#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "gamewindow/GameWindowHandler.h"

class OOPManager;

// The overlay manager's single contact with the game's window: caches it, remembers the overlay's
// monitor and holds the full-screen state.
class WindowManager : public GameWindowHandler::Delegate {
public:
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

    void ForceForegroundWindow(HWND target, bool cancelMode);
    int32_t UpdateGameWindowRect(RECT& rect, bool force);

    // The owner and the handler, set while the overlay manager chooses its handler.
    void SetOwner(OOPManager* owner) { owner_ = owner; }
    OOPManager* Owner() const { return owner_; }
    void SetHandler(std::unique_ptr<GameWindowHandler> handler) { handler_ = std::move(handler); }
    void ReleaseHandler() { handler_.reset(); }
    GameWindowHandler* Handler() const { return handler_.get(); }
    HMONITOR Monitor() const { return monitor_; }
    bool FullScreenStateUpdated() const { return fullScreenStateUpdated_; }
    void SetFullScreenStateUpdated(bool updated) { fullScreenStateUpdated_ = updated; }

private:
    HWND Lookup(bool store);

    OOPManager* owner_ = nullptr;
    std::unique_ptr<GameWindowHandler> handler_;
    // Read and written by the main thread, the worker and the hooks thread without a lock.
    std::atomic<HWND> gameWindow_{nullptr};
    HMONITOR monitor_ = nullptr;
    std::atomic<bool> fullScreen_{false};
    std::atomic<bool> fullScreenStateUpdated_{false};
};
