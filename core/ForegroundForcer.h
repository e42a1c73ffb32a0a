#pragma once
#include <windows.h>

#include <atomic>

#include "common/CoalescedPost.h"
#include "common/WorkerThread.h"
#include "gamewindow/OverlayFacts.h"
#include "gamewindow/WindowManager.h"
#include "qm/OverlayWindowContract.h"

// Brings a window to the foreground for the overlay. Forcing attaches to the game's input and
// activates windows across it, which waits for the game's thread: the window's thread forces only
// once the game has just answered the worker, so a game that hangs (loading, say) delays the
// foreground alone. The latest request wins.
class ForegroundForcer {
public:
    static constexpr UINT kMsgForceForeground = WM_USER + 14;

    ForegroundForcer(WindowManager& windows, const OverlayFacts& facts) : windows_(windows), facts_(facts) {}
    ForegroundForcer(const ForegroundForcer&) = delete;
    ForegroundForcer& operator=(const ForegroundForcer&) = delete;

    // Without a worker (or before the overlay exists) a request is carried out at once.
    void SetWorker(Common::Utils::WorkerThread* worker) { worker_ = worker; }
    // From any thread: `window` to the foreground; `cancelMode` as the game's handler knows it.
    void Request(HWND window, bool cancelMode);
    // On the window's thread, at kMsgForceForeground: the latest request.
    void Run();
    // The overlay itself to the foreground, from the queue (qm::overlay::kMsgBringToForeground),
    // and when that message is taken.
    void BringOverlayLater() { bringPost_.Post(facts_.overlay.load(), qm::overlay::kMsgBringToForeground, 1, 1); }
    void BringOverlayNow() {
        bringPost_.Taken();
        Request(facts_.overlay.load(), true);
    }
    // The host is ending: a hung game is no longer waited for.
    void Stop() { stopping_ = true; }

private:
    // On the worker: one short question to the game at a time, the worker's other tasks between.
    void AskTheGame();

    WindowManager& windows_;
    const OverlayFacts& facts_;
    Common::Utils::WorkerThread* worker_ = nullptr;
    std::atomic<HWND> target_{nullptr};
    std::atomic<bool> cancelMode_{false};
    std::atomic<bool> asking_{false};
    std::atomic<bool> stopping_{false};
    base::CoalescedPost post_;
    base::CoalescedPost bringPost_;
};
