#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/CoalescedPost.h"
#include "gamewindow/GameWindowHandler.h"
#include "gamewindow/OverlayFacts.h"

// The overlay's single contact with the game's window: chooses and caches it, remembers the
// overlay's monitor and holds the full-screen state, as facts of the overlay. What changed is
// collected as a mask, and the overlay's thread is told once (kMsgChanged) until it takes them.
class WindowManager : public GameWindowHandler::Delegate {
public:
    enum Change : uint32_t {
        // The game's full-screen state changed.
        kFullScreenChanged = 1,
        // The overlay is on another monitor: the adapter may have changed.
        kMonitorChanged = 2,
        // A search for the game's window ran; FoundWindow says what it found (null for none).
        kWindowSearched = 4,
    };

    // To the overlay window: changes are waiting.
    static constexpr UINT kMsgChanged = WM_USER + 15;

    explicit WindowManager(OverlayFacts& facts) : facts_(facts) {}
    ~WindowManager() = default;
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    bool UpdateFullScreenState(bool fullScreen) override;
    void SetMonitor(HMONITOR monitor) override;
    HWND FindGameWindow() override { return Lookup(true); }
    HWND GetGameWindow() override { return Lookup(false); }
    void SetCachedGameWindow(HWND window) { facts_.game = window; }
    HWND GetCachedGameWindow() const { return facts_.game.load(); }
    bool IsFullScreen() const { return facts_.fullScreen.load(); }

    void ForceForegroundWindow(HWND target, bool cancelMode);
    int32_t UpdateGameWindowRect(RECT& rect, bool force);

    // The game's process and its handler: the handler is chosen while the overlay starts.
    void SetGame(uint32_t pid, std::unique_ptr<GameWindowHandler> handler) {
        gamePid_ = pid;
        handler_ = std::move(handler);
    }
    void ReleaseHandler() { handler_.reset(); }
    GameWindowHandler* Handler() const { return handler_.get(); }
    // Whether the client asked the overlay to take the foreground when a UWP game's mode is cancelled.
    void SetTakesForegroundOnCancel(bool takes) { facts_.takesForegroundOnCancel = takes; }
    HMONITOR Monitor() const { return monitor_; }
    bool FullScreenStateUpdated() const { return fullScreenStateUpdated_; }
    void SetFullScreenStateUpdated(bool updated) { fullScreenStateUpdated_ = updated; }

    // What changed since the last call (Change bits).
    uint32_t TakeChanges() {
        changedPost_.Taken();
        return changes_.exchange(0);
    }
    // What the last search found.
    HWND FoundWindow() const { return found_.load(); }

private:
    void Note(uint32_t changes) {
        changes_.fetch_or(changes);
        changedPost_.Post(facts_.overlay.load(), kMsgChanged);
    }
    HWND Lookup(bool store);
    HWND ChooseAgain(HWND cached);

    OverlayFacts& facts_;
    uint32_t gamePid_ = 0;
    std::unique_ptr<GameWindowHandler> handler_;
    HMONITOR monitor_ = nullptr;
    // Read and written by the main thread, the worker and the hooks thread without a lock.
    std::atomic<bool> fullScreenStateUpdated_{false};
    std::atomic<uint32_t> changes_{0};
    std::atomic<HWND> found_{nullptr};
    base::CoalescedPost changedPost_;
    uint64_t lastChoiceTick_ = 0;
};
