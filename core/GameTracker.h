#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/CoalescedPost.h"
#include "common/WorkerThread.h"
#include "core/OverlayWindow.h"
#include "gamewindow/GameWindowEvents.h"
#include "gamewindow/OverlayFacts.h"
#include "gamewindow/WindowManager.h"

// The game as the overlay follows it: which window, where its client area lies, whether it is shown,
// minimised or full screen, and when it must be looked at again. It reads the system (the window's
// reports where they are delivered, else a look), publishes what it read as the overlay's facts and
// says what changed; what the overlay does about it is its owner's business.
class GameTracker {
public:
    // Where the system does not report the game's moves, it is looked at this often while it is being
    // moved and while it is still. A still game is looked at once a frame (at 60 frames a second and
    // more, the look after each frame's wait is the only one): each look is a server round trip under
    // Wine, and the first move of a drag is seen within a frame, the rest within a millisecond.
    static constexpr DWORD kFollowPollMs = 1;
    static constexpr DWORD kStillPollMs = 16;

    explicit GameTracker(OverlayFacts& facts) : facts_(facts), windows_(facts) {}
    GameTracker(const GameTracker&) = delete;
    GameTracker& operator=(const GameTracker&) = delete;

    // The game of `gamePid`, found by the rules of a UWP game or a classic one.
    void Start(uint32_t gamePid, bool uwp);
    // The full-screen checks run there; without one they are not made.
    void SetWorker(Common::Utils::WorkerThread* worker) { worker_ = worker; }
    WindowManager& Windows() { return windows_; }
    GameWindowEvents& Events() { return events_; }

    // The pass's look at the game's window. `game` is null while there is none to follow (none
    // found, or not yet shown once: `waiting`); `change` as GameWindowHandler::Change, forced on the
    // look that first saw the game shown (`appeared`).
    struct Look {
        HWND game = nullptr;
        int32_t change = 0;
        bool appeared = false;
    };
    Look LookNow(int64_t nowUs);
    // Whether the game's minimised state changed since the last call; true with its row logged.
    bool UpdateMinimized();
    // Whether the game's window is shown; a change is logged.
    bool UpdateShown(HWND game);

    // Nothing a placement depends on changed since the last look (the game's rectangle, the
    // foreground, the overlay's neighbours): the pass only renders. Now and then it looks regardless,
    // for what the system does not report.
    bool NothingChanged(int64_t nowUs, const OverlayWindow& overlay);
    // Something changed unseen, from any thread: the next pass looks.
    void LookAgain() { lookAgain_ = true; }
    bool LookingAgain() const { return lookAgain_.load(); }

    // Between passes: when the next pass is due for the game's sake (no later than `due`), and how
    // often to look at it meanwhile (INFINITE: not at all).
    struct Between {
        int64_t dueUs;
        DWORD pollMs;
        bool follow;  // the game is followed between passes
    };
    Between PlanWait(int64_t nowUs, int64_t dueUs) const;
    // Whether the game's window moved, changed size or was minimised or restored since the last look
    // between passes; it then counts as being moved.
    bool MovedSinceLastLook();

    // At most one check of the full-screen state queued, and at most one a second unless `now` asks
    // for it regardless; its changes reach the overlay's thread as WindowManager::kMsgChanged.
    void PostFullScreenCheck(bool now = false);
    // Asks the game's handler now, while the game has the foreground and the mouse; false when it
    // did not ask.
    bool CheckFullScreen();

    // The game as placement needs it, from what the pass has read.
    OverlayWindow::Game ForPlacement();
    RECT Rect() const { return rect_; }
    uint32_t Width() const { return static_cast<uint32_t>(rect_.right - rect_.left); }
    uint32_t Height() const { return static_cast<uint32_t>(rect_.bottom - rect_.top); }
    bool Minimized() const { return facts_.minimized.load(); }
    bool Shown() const { return shown_; }
    // The game's client area has no pixel to cover (a window collapsed to its frame).
    bool AreaEmpty() const { return !Minimized() && (Width() < 1 || Height() < 1); }

private:
    OverlayFacts& facts_;
    WindowManager windows_;
    GameWindowEvents events_;
    Common::Utils::WorkerThread* worker_ = nullptr;
    uint32_t gamePid_ = 0;
    RECT rect_{};
    bool shown_ = true;
    bool seen_ = false;
    RECT lastWindowRect_{};
    int64_t lastMoveUs_ = 0;
    int64_t rectReadUs_ = 0;
    std::atomic<bool> lookAgain_{true};
    int64_t lastLookUs_ = 0;
    int64_t stackLookUs_ = 0;
    std::atomic<bool> checkQueued_{false};
    std::atomic<uint64_t> lastCheckTick_{0};
};
