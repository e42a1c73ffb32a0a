#include "core/GameTracker.h"

#include <memory>

#include "common/MessageWait.h"
#include "logging/Log.h"

void GameTracker::Start(uint32_t gamePid, bool uwp) {
    gamePid_ = gamePid;
    if (uwp) {
        windows_.SetGame(gamePid, std::make_unique<UWPHandler>(&windows_, facts_, gamePid));
    } else {
        windows_.SetGame(gamePid, std::make_unique<Win32GameWindowHandler>(&windows_, facts_));
    }
}

GameTracker::Look GameTracker::LookNow(int64_t nowUs) {
    lookAgain_ = false;
    lastLookUs_ = nowUs;
    stackLookUs_ = nowUs;
    Look look;
    look.change = windows_.UpdateGameWindowRect(rect_, false);
    facts_.PublishGameRect(rect_);
    HWND game = windows_.GetGameWindow();
    if (!game) {
        lookAgain_ = true;
        return Look{};
    }
    events_.SetWindow(game);
    if (!seen_) {
        // Followed from the first time it is shown and not minimised.
        WINDOWPLACEMENT placement{};
        placement.length = sizeof(placement);
        ::GetWindowPlacement(game, &placement);
        if (placement.showCmd == SW_HIDE || placement.showCmd == SW_MINIMIZE) {
            lookAgain_ = true;
            return Look{};
        }
        seen_ = true;
        QM_LOG_INFO(L"OOPManager::WaitRestore", 1, L"game window detected (show: %d)", static_cast<int>(placement.showCmd));
        look.appeared = true;
        look.change = GameWindowHandler::kForced | GameWindowHandler::kResized;
    }
    look.game = game;
    return look;
}

bool GameTracker::UpdateMinimized() {
    const bool now = rect_.left == OverlayFacts::kMinimizedLeft || ::IsIconic(windows_.GetCachedGameWindow());
    if (now == facts_.minimized.load()) return false;
    facts_.minimized = now;
    QM_LOG_INFO(L"OOPManager::UpdateWindowState", 1, L"window state changed: %s", now ? L"minimized" : L"restore");
    if (now) windows_.SetFullScreenStateUpdated(false);
    return true;
}

bool GameTracker::UpdateShown(HWND game) {
    const bool shown = ::IsWindowVisible(game) != FALSE;
    if (shown != shown_) {
        shown_ = shown;
        QM_LOG_INFO(L"OOPManager::UpdateWindowState", 1, L"game window %s", shown ? L"shown" : L"hidden");
    }
    return shown;
}

bool GameTracker::NothingChanged(int64_t nowUs, const OverlayWindow& overlay) {
    // What the system does not report (a game window shown or hidden, another window of the game
    // chosen, a hung game) is looked at once a second: such a look costs some thirty server round
    // trips under Wine, and these changes are rare.
    constexpr int64_t kLookAnywayUs = 1000000;
    // The looks between passes cover the game's rectangle while they run: one that finds it
    // changed places the overlay at once.
    constexpr int64_t kLookedLatelyUs = (kStillPollMs + 1) * 1000;
    using Events = GameWindowEvents;
    if (lookAgain_ || !seen_ || nowUs - lastLookUs_ >= kLookAnywayUs) return false;
    HWND game = windows_.GetCachedGameWindow();
    if (!game) return false;
    // Each input of a placement from the system's reports where it delivers them, else one look.
    if (events_.Delivered(Events::kLocation)) {
        if (events_.Take(Events::kLocation)) return false;
    } else if (nowUs - rectReadUs_ > kLookedLatelyUs) {
        RECT window{};
        if (!::GetWindowRect(game, &window)) return false;
        if (!::EqualRect(&window, &lastWindowRect_)) {
            lastWindowRect_ = window;
            return false;
        }
    }
    if (events_.Take(Events::kForeground | Events::kOrder)) return false;
    // The foreground and the window stack, where the system does not report them, are looked at ten
    // times a second: the three round trips a look costs would otherwise outweigh a frame's own, and
    // another window between the overlay and the game is rare and harmless for a tenth of a second.
    constexpr int64_t kStackLookEveryUs = 100000;
    if (nowUs - stackLookUs_ < kStackLookEveryUs) return true;
    stackLookUs_ = nowUs;
    if (!events_.Delivered(Events::kForeground) && ::GetForegroundWindow() != overlay.LastForeground()) return false;
    // Another window between the overlay and the game or above it, or the game raised: the
    // overlay's neighbours are no longer the ones the last placement left.
    return overlay.NeighboursUnchanged();
}

GameTracker::Between GameTracker::PlanWait(int64_t nowUs, int64_t dueUs) const {
    // Between frames the game is followed at once: from the system's reports where it delivers the
    // game window's location changes, else by a look every millisecond while it is being moved (a
    // drag is a run of moves) and every few milliseconds while it is still, so following never
    // waits for a frame and an idle game costs little.
    constexpr int64_t kMovingForUs = 500000;
    Between plan{dueUs, INFINITE, seen_ && facts_.game.load() != nullptr};
    if (plan.follow && events_.Delivered(GameWindowEvents::kLocation)) {
        if (events_.Pending(GameWindowEvents::kLocation)) plan.dueUs = nowUs;
    } else if (plan.follow) {
        plan.pollMs = nowUs - lastMoveUs_ < kMovingForUs ? kFollowPollMs : kStillPollMs;
    }
    return plan;
}

bool GameTracker::MovedSinceLastLook() {
    HWND game = windows_.GetCachedGameWindow();
    if (!game || !seen_) return false;
    if (events_.Delivered(GameWindowEvents::kLocation)) {
        if (!events_.Take(GameWindowEvents::kLocation)) return false;
    } else {
        // The window's outer rectangle is one cheap read and changes with every move, resize,
        // minimise and restore; what changes inside it alone is seen by a later pass.
        RECT window{};
        if (!::GetWindowRect(game, &window)) return false;
        rectReadUs_ = base::NowMicroseconds();
        if (::EqualRect(&window, &lastWindowRect_)) return false;
        lastWindowRect_ = window;
    }
    lookAgain_ = true;
    lastMoveUs_ = base::NowMicroseconds();
    return true;
}

void GameTracker::PostFullScreenCheck(bool now) {
    constexpr uint64_t kCheckIntervalMs = 1000;
    if (!worker_) return;
    const uint64_t tick = ::GetTickCount64();
    if (!now && tick - lastCheckTick_.load() < kCheckIntervalMs) return;
    // One check queued at a time: the worker must not fall behind the frames.
    if (checkQueued_.exchange(true)) return;
    lastCheckTick_ = tick;
    if (!worker_->Post([this] {
            checkQueued_ = false;
            CheckFullScreen();
        })) {
        checkQueued_ = false;
    }
}

bool GameTracker::CheckFullScreen() {
    HWND game = windows_.GetGameWindow();
    POINT cursor{};
    if (!game || ::GetForegroundWindow() != game) return false;
    if (!::GetCursorPos(&cursor) || ::WindowFromPoint(cursor) != game) return false;
    if (facts_.gameLeft.load() == OverlayFacts::kMinimizedLeft || ::IsIconic(game)) return false;
    GameWindowHandler* handler = windows_.Handler();
    if (!handler) return false;
    handler->DetectFullScreen();
    return true;
}

OverlayWindow::Game GameTracker::ForPlacement() {
    // The pass has just looked at the game's window and its state: no second look here.
    OverlayWindow::Game game;
    game.window = windows_.GetCachedGameWindow();
    game.pid = gamePid_;
    game.rect = rect_;
    game.minimized = Minimized();
    game.fullScreenKnown = windows_.FullScreenStateUpdated();
    game.fullScreen = windows_.IsFullScreen();
    // Unknown yet: the worker reads it, and the next placement follows its answer.
    if (!game.fullScreenKnown && game.window && !game.minimized) PostFullScreenCheck();
    return game;
}
