// The main loop's passes: the wait between them, following the game between frames, and the pass
// itself, which looks and places only when something it depends on changed, then renders.
#include "core/OOPManager.h"
#include "logging/Log.h"

bool OOPManager::WaitForNextPass(int64_t now) {
    // Between frames the game is followed at once: from the system's reports where it delivers the
    // game window's location changes, else by a look every millisecond while it is being moved (a
    // drag is a run of moves) and every few milliseconds while it is still, so following never
    // waits for a frame and an idle game costs little.
    constexpr int64_t kMovingForUs = 500000;
    int64_t due = pacer_.NextPassDue();
    DWORD pollMs = INFINITE;
    const bool follow = gameWindowSeen_ && windowManager_.GetCachedGameWindow();
    if (follow && gameEvents_.Delivered(GameWindowEvents::kLocation)) {
        if (gameEvents_.Pending(GameWindowEvents::kLocation)) due = now;
    } else if (follow) {
        pollMs = now - lastGameMoveUs_ < kMovingForUs ? kFollowPollMs : kStillPollMs;
    }
    const HANDLE handles[] = {stopEvent_.Get(), clientProcess_.Get()};
    const DWORD count = clientProcess_ ? 2 : stopEvent_ ? 1 : 0;
    const int woken = waiter_.Wait(due, pollMs, handles, count);
    clientLookedAtUs_ = now;
    if (woken == 1) {
        ClientEnded();
        return true;
    }
    if (follow && FollowGameNow()) lastGameMoveUs_ = base::NowMicroseconds();
    return woken != base::MessageWaiter::kTimeOut;
}

void OOPManager::LookForTheClientsEnd(int64_t now) {
    // A loop whose frames are always due (a client slower than the frame rate) never waits, and so
    // never hears of the client's end from the wait: it looks now and then instead.
    constexpr int64_t kLookEveryUs = 100000;
    if (!clientProcess_ || now - clientLookedAtUs_ < kLookEveryUs) return;
    clientLookedAtUs_ = now;
    if (::WaitForSingleObject(clientProcess_.Get(), 0) == WAIT_OBJECT_0) ClientEnded();
}

void OOPManager::ClientEnded() {
    DWORD exitCode = 0xFFFFFFFF;
    if (!::GetExitCodeProcess(clientProcess_.Get(), &exitCode)) exitCode = 0xFFFFFFFF;
    clientProcess_.Reset();
    ProcessClosed(nullptr, clientPid_, exitCode);
}

bool OOPManager::FollowGameNow() {
    HWND game = windowManager_.GetCachedGameWindow();
    if (!game || !gameWindowSeen_) return false;
    if (gameEvents_.Delivered(GameWindowEvents::kLocation)) {
        if (!gameEvents_.Take(GameWindowEvents::kLocation)) return false;
    } else {
        // The window's outer rectangle is one cheap read and changes with every move, resize,
        // minimise and restore; what changes inside it alone is seen by a later pass.
        RECT window{};
        if (!::GetWindowRect(game, &window)) return false;
        gameRectReadUs_ = base::NowMicroseconds();
        if (::EqualRect(&window, &lastGameWindowRect_)) return false;
        lastGameWindowRect_ = window;
    }
    lookAgain_ = true;
    Step(false);
    return true;
}

bool OOPManager::ShouldRenderFrame() {
    return pacer_.TargetFrameDue(base::NowMicroseconds());
}

bool OOPManager::Update() {
    if (!ShouldRenderFrame()) return false;
    return Step(true);
}

bool OOPManager::OverlayMatchesGame(const RECT& rect) {
    RECT overlay{};
    if (!::GetWindowRect(overlayWindow_, &overlay)) return true;
    return overlay.left == rect.left && overlay.top == rect.top && overlay.right == rect.right &&
           overlay.bottom == rect.bottom;
}

bool OOPManager::Step(bool render) {
    const int64_t passStartUs = base::NowMicroseconds();
    if (!NothingChanged(passStartUs)) {
        const int placed = LookAndPlace(passStartUs);
        if (placed != kPassOn) return placed != 0;
    } else {
        PostFullScreenCheck();
    }
    const RECT rect = gameRect_;
    const uint32_t width = static_cast<uint32_t>(rect.right - rect.left);
    const uint32_t height = static_cast<uint32_t>(rect.bottom - rect.top);

    const bool sizeChanged = width != backBufferWidth_ || height != backBufferHeight_;
    if (previousSizeChanged_ && !sizeChanged) PostFullScreenCheck(true);
    previousSizeChanged_ = sizeChanged;
    if (minimized_ || !gameShown_ || GameAreaEmpty() || !render) return false;

    bool reset = sizeChanged;
    if (needsReset_) {
        // Once per run of failed resets: they are retried every pass.
        if (!needsResetLogged_) {
            QM_LOG_INFO(L"OOPManager::Update", 1, L"needs reset, try to reset device [%d, %d]", backBufferWidth_,
                        backBufferHeight_);
            needsResetLogged_ = true;
        }
        reset = true;
    }
    if (!reset) {
        if (!framePollingOff_) {
            framePollingOff_ = GetGameConfiguration()->Byte(qm::GameConfiguration::kFramePollingOff) != 0;
        }
        const bool framePollingOff = *framePollingOff_;
        qm::IOverlayManagerController* controller = hooksManager_.Controller();
        if (!resetDone_ && !framePollingOff && controller && !controller->IsFrameReady()) {
            DelayNextPass(1000);
            return true;
        }
        if (!renderer_ || !renderer_->Suspended()) {
            resetDone_ = false;
            if (Render()) {
                const int64_t presented = base::NowMicroseconds();
                statistics_.FramePresented(presented);
                LogStatistics(presented, false);
                return true;
            }
        }
        if (fullScreenRenderingOff_ && windowManager_.IsFullScreen()) {
            DelayNextPass(FrameIntervalMicroseconds());
            return true;
        }
    }
    if (!ResizeDevice(width, height)) {
        // Nothing presented and nothing reset: the next try is a frame away.
        DelayNextPass(FrameIntervalMicroseconds());
        return false;
    }
    needsReset_ = false;
    needsResetLogged_ = false;
    return true;
}

int OOPManager::LookAndPlace(int64_t passStartUs) {
    // While there is no shown game window the loop looks again after this long.
    constexpr int64_t kWaitForGameUs = 500000;
    lookAgain_ = false;
    lastLookUs_ = passStartUs;
    stackLookUs_ = passStartUs;
    int32_t change = windowManager_.UpdateGameWindowRect(gameRect_, false);
    HWND game = windowManager_.GetGameWindow();
    if (!game) {
        lookAgain_ = true;
        DelayNextPass(kWaitForGameUs);
        return 0;
    }
    gameEvents_.SetWindow(game);
    if (!gameWindowSeen_) {
        if (WaitRestore()) {
            lookAgain_ = true;
            DelayNextPass(kWaitForGameUs);
            return 0;
        }
        change = 6;
    }
    const RECT rect = gameRect_;
    const uint32_t width = static_cast<uint32_t>(rect.right - rect.left);
    const uint32_t height = static_cast<uint32_t>(rect.bottom - rect.top);
    if (VerifyAdapterUpdated(width, height)) {
        lookAgain_ = true;
        return 1;
    }
    const bool stateChanged = UpdateWindowState();
    const bool shownChanged = SyncOverlayShown(game);
    PostFullScreenCheck();

    // A placement that no longer matches the game (the game moved again while it was being read
    // or placed) is redone, once the back buffer has the game's size.
    const bool misplaced = !minimized_ && width == backBufferWidth_ && height == backBufferHeight_ &&
                           ::IsWindowVisible(overlayWindow_) && !OverlayMatchesGame(rect);
    if (change > 0 || stateChanged || shownChanged || misplaced) {
        if (!minimized_) {
            if (MoveOverlay(rect.left, rect.top, static_cast<int>(width), static_cast<int>(height)) && change > 0) {
                statistics_.Placed(base::NowMicroseconds() - passStartUs);
            }
        } else {
            PlaceOverlay(false);
        }
        // The next pass looks again, whether this placement holds.
        lookAgain_ = true;
    } else {
        PlaceOverlay(windowManager_.IsFullScreen() && !minimized_);
    }
    // Until the back buffer has the game's size a pass may still redo the placement.
    if (!GameAreaEmpty() && (width != backBufferWidth_ || height != backBufferHeight_)) lookAgain_ = true;
    overlayAbove_ = ::GetWindow(overlayWindow_, GW_HWNDPREV);
    overlayBelow_ = ::GetWindow(overlayWindow_, GW_HWNDNEXT);
    return kPassOn;
}

bool OOPManager::NothingChanged(int64_t nowUs) {
    // What the system does not report (a game window shown or hidden, another window of the game
    // chosen, a hung game) is looked at this often.
    constexpr int64_t kLookAnywayUs = 250000;
    // The looks between passes cover the game's rectangle while they run: one that finds it
    // changed places the overlay at once.
    constexpr int64_t kLookedLatelyUs = (kStillPollMs + 1) * 1000;
    using Events = GameWindowEvents;
    if (lookAgain_ || !gameWindowSeen_ || nowUs - lastLookUs_ >= kLookAnywayUs || adapterCheckPending_) return false;
    HWND game = windowManager_.GetCachedGameWindow();
    if (!game) return false;
    // Each input of a placement from the system's reports where it delivers them, else one look.
    if (gameEvents_.Delivered(Events::kLocation)) {
        if (gameEvents_.Take(Events::kLocation)) return false;
    } else if (nowUs - gameRectReadUs_ > kLookedLatelyUs) {
        RECT window{};
        if (!::GetWindowRect(game, &window)) return false;
        if (!::EqualRect(&window, &lastGameWindowRect_)) {
            lastGameWindowRect_ = window;
            return false;
        }
    }
    if (gameEvents_.Take(Events::kForeground | Events::kOrder)) return false;
    // The foreground and the window stack, where the system does not report them, are looked at
    // every other frame at 90 a second (every frame at 60): each look is a server round trip, and a
    // change shows within two frames.
    constexpr int64_t kStackLookEveryUs = 16000;
    if (nowUs - stackLookUs_ < kStackLookEveryUs) return true;
    stackLookUs_ = nowUs;
    if (!gameEvents_.Delivered(Events::kForeground) && ::GetForegroundWindow() != window_.LastForeground()) {
        return false;
    }
    // Another window between the overlay and the game or above it, or the game raised: the
    // overlay's neighbours are no longer the ones the last placement left.
    return ::GetWindow(overlayWindow_, GW_HWNDPREV) == overlayAbove_ &&
           ::GetWindow(overlayWindow_, GW_HWNDNEXT) == overlayBelow_;
}
