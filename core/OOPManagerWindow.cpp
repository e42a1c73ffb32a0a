// The manager's side of its overlay window: the window's messages, the pass's look at the game's
// window state, what placement is handed, the click-through mode, the full-screen and exclusive
// modes' changes, the forced foreground and the cursor drawn.
#include "core/OOPManager.h"
#include "logging/Log.h"

bool OOPManager::InitWindow(HINSTANCE instance) {
    RECT at{0, 0, 10, 10};
    RECT rect{};
    if (windowManager_.UpdateGameWindowRect(rect, false) != 0) at = rect;
    if (!window_.Create(instance, GetWindowExStyle(), at, this)) return false;
    overlayWindow_ = window_.Handle();
    windowThreadId_ = ::GetCurrentThreadId();
    return true;
}

LRESULT OOPManager::OnOverlayMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    OOPManager* manager = this;
    qm::IOverlayManagerController* controller = manager->hooksManager_.Controller();
    switch (message) {
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;
        case WM_DESTROY:
        case WM_CLOSE:
            ::PostQuitMessage(0);
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) manager->ResizeDevice(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_SHOWWINDOW:
            if (wParam && manager->renderer_) manager->renderer_->WindowShown();
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_ACTIVATE:
            // The overlay never keeps the foreground: it goes straight back.
            if (LOWORD(wParam) != WA_INACTIVE && lParam) ::SetForegroundWindow(reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_NCHITTEST:
            return manager->clickThrough_ ? HTTRANSPARENT : HTCLIENT;
        case qm::overlay::kMsgRefreshCursor:
            manager->cursorPost_.Taken();
            manager->ApplyCursorRequests();
            [[fallthrough]];
        case WM_SETCURSOR:
            if (!manager->clickThrough_) {
                if (HCURSOR cursor = ::GetCursor()) ::SetCursor(cursor);
                if (controller) controller->OnOverlayActivated();
            }
            return 1;
        case qm::overlay::kMsgExclusiveChanged: {
            // The host's own notice carries no value: the latest one is read when it is taken.
            if (lParam == kLatestValue) manager->exclusiveNoticePost_.Taken();
            const bool flag = lParam == kLatestValue ? manager->exclusiveNotice_.load() : wParam != 0;
            manager->ForceForeground(flag ? manager->overlayWindow_ : manager->windowManager_.GetGameWindow(), flag);
            if (controller) controller->OnOverlayActivated();
            return 1;
        }
        case qm::overlay::kMsgBringToForeground:
            manager->bringToForegroundPost_.Taken();
            manager->ForceForeground(manager->overlayWindow_, true);
            return 1;
        case qm::overlay::kMsgResizeDevice:
            manager->resizeDevicePost_.Taken();
            manager->ResizeDevice(manager->backBufferWidth_, manager->backBufferHeight_, true);
            return 1;
        case kMsgForceForeground:
            manager->forceForegroundPost_.Taken();
            manager->RunForceForeground(manager->foregroundTarget_.load(), manager->foregroundCancelMode_.load());
            return 1;
        case kMsgApplyClickThrough: {
            manager->clickThroughPost_.Taken();
            // Re-read after applying: a request that came meanwhile may have seen the old state.
            bool requested;
            do {
                requested = manager->requestedClickThrough_.load();
                manager->SetClickThrough(requested, false);
            } while (requested != manager->requestedClickThrough_.load());
            return 1;
        }
        case kMsgApplyExclusive:
            manager->hooksManager_.ApplyLatestExclusiveMode();
            return 1;
        case kMsgApplyInputMode:
            manager->inputModePost_.Taken();
            manager->ApplyExclusiveInputMode();
            return 1;
        default:
            break;
    }
    static_assert(WM_MOUSELAST == 0x20E, "the mouse messages end with the horizontal wheel");
    if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
        // Before the controller exists the window behaves as any other would.
        if (!controller) return ::DefWindowProcW(hwnd, message, wParam, lParam);
        bool exclusive = OOPHooksManager::IsExclusive();
        const bool handled = controller->OnMouseMessage(message, wParam, lParam, &exclusive);
        manager->hooksManager_.SetPassThrough(!handled && !exclusive);
        return 1;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

bool OOPManager::WaitRestore() {
    bool& seen = gameWindowSeen_;
    if (seen) return false;
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    ::GetWindowPlacement(windowManager_.GetGameWindow(), &placement);
    if (placement.showCmd == SW_HIDE || placement.showCmd == SW_MINIMIZE) return true;
    seen = true;
    QM_LOG_INFO(L"OOPManager::WaitRestore", 1, L"game window detected (show: %d)", static_cast<int>(placement.showCmd));
    PlaceOverlay(true);
    AssureFullScreenStateUpdated();
    return false;
}

bool OOPManager::UpdateWindowState() {
    const RECT rect = gameRect_;
    const bool now = rect.left == kMinimizedLeft || ::IsIconic(windowManager_.GetCachedGameWindow());
    if (now == minimized_) return false;
    minimized_ = now;
    QM_LOG_INFO(L"OOPManager::UpdateWindowState", 1, L"window state changed: %s", now ? L"minimized" : L"restore");
    if (now) {
        ::ShowWindow(overlayWindow_, SW_HIDE);
        windowManager_.SetFullScreenStateUpdated(false);
    } else {
        ::ShowWindow(overlayWindow_, SW_SHOWNA);
        if (rect.left != kMinimizedLeft &&
            ::SetWindowPos(overlayWindow_, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                           SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER)) {
            PlaceOverlay(true);
        }
    }
    return true;
}

bool OOPManager::SyncOverlayShown(HWND game) {
    // Shown exactly while the game's window is: whatever hid the overlay before (a game window that
    // was destroyed and made anew, a launcher, a hidden game), this pass puts it right.
    const bool gameShown = ::IsWindowVisible(game) != FALSE;
    if (gameShown != gameShown_) {
        gameShown_ = gameShown;
        QM_LOG_INFO(L"OOPManager::UpdateWindowState", 1, L"game window %s", gameShown ? L"shown" : L"hidden");
    }
    const bool wanted = gameShown && !minimized_ && !GameAreaEmpty() &&
                        !(fullScreenRenderingOff_ && windowManager_.IsFullScreen());
    statistics_.OverlayShown(wanted, base::NowMicroseconds());
    if (wanted == (::IsWindowVisible(overlayWindow_) != FALSE)) return false;
    ::ShowWindow(overlayWindow_, wanted ? SW_SHOWNA : SW_HIDE);
    return true;
}

bool OOPManager::VerifyAdapterUpdated(uint32_t width, uint32_t height) {
    constexpr const wchar_t* kFn = L"OOPManager::VerifyAdapterUpdated";
    if (!adapterCheckPending_.exchange(false)) return false;
    if (!IsAdapterChanged()) return false;
    QM_LOG_INFO(kFn, 1, L"adapter changed, reseting D3Device");
    ShutdownD3D();
    if (!InitD3D()) QM_LOG_ERROR(kFn, L"[adapter changed] init D3D error");
    if (ResizeDevice(width, height)) return true;
    if (minimized_) {
        QM_LOG_WARNING(kFn, L"[adapter changed] reset skipped due to minimized state");
    } else {
        QM_LOG_ERROR(kFn, L"[adapter changed] reset error");
    }
    needsReset_ = true;
    return false;
}

bool OOPManager::ResizeDevice(uint32_t width, uint32_t height, bool again) {
    if (minimized_) return false;
    if (backBufferWidth_ != 0 && backBufferHeight_ != 0 && fullScreenRenderingOff_ && windowManager_.IsFullScreen()) {
        return false;
    }
    if (!ResetD3D(width, height, again)) return false;
    resetDone_ = true;
    backBufferWidth_ = width;
    backBufferHeight_ = height;
    return true;
}

OverlayWindow::Game OOPManager::GameForPlacement() {
    // The pass has just looked at the game's window and its state: no second look here.
    OverlayWindow::Game game;
    game.window = windowManager_.GetCachedGameWindow();
    game.pid = gamePid_;
    game.rect = gameRect_;
    game.minimized = minimized_;
    game.fullScreenKnown = windowManager_.FullScreenStateUpdated();
    game.fullScreen = windowManager_.IsFullScreen();
    // Unknown yet: the worker reads it, and the next placement follows its answer.
    if (!game.fullScreenKnown && game.window && !game.minimized) PostFullScreenCheck();
    return game;
}

void OOPManager::PlaceOverlay(bool force) { window_.Place(GameForPlacement(), force, backBufferWidth_, backBufferHeight_); }

HWND OOPManager::FindInsertAfter() { return window_.InsertAfter(GameForPlacement()); }

bool OOPManager::MoveOverlay(int x, int y, int width, int height) {
    if (!window_.Move(RECT{x, y, x + width, y + height})) return false;
    PlaceOverlay(true);
    return true;
}

bool OOPManager::SetClickThrough(bool clickThrough, bool force) {
    if (clickThrough == clickThrough_.load() && !force) return false;
    clickThrough_ = clickThrough;
    const bool fullScreen = windowManager_.IsFullScreen();
    if (!clickThrough && !fullScreen && OOPHooksManager::IsExclusive()) {
        ForceForeground(overlayWindow_, true);
        if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) controller->OnOverlayActivated();
    }
    // Over a window the game stays free; over a full-screen game, blocking follows the mode.
    if (clickThrough || fullScreen) inputProxy_.SetInputBlocking(!clickThrough);
    window_.ApplyClickThroughStyle(clickThrough, fullScreen, false);
    return true;
}

void OOPManager::HandleFullScreenModeChanged() {
    // Run by the window manager's UpdateFullScreenState whenever the state changes.
    lookAgain_ = true;
    const bool fullScreen = windowManager_.IsFullScreen();
    ::ShowWindow(overlayWindow_, fullScreen && fullScreenRenderingOff_ ? SW_HIDE : SW_SHOWNA);
    if (!fullScreen && !FirstFrameRendered()) {
        QM_LOG_INFO(L"OOPManager::HandleFullScreenModeChanged", 1, L"switch to window mode!");
    }
    bringToForegroundPost_.Post(overlayWindow_, qm::overlay::kMsgBringToForeground, 1, 1);
    resizeDevicePost_.Post(overlayWindow_, qm::overlay::kMsgResizeDevice, 1, 1);
    if (OOPHooksManager::IsExclusive()) inputModePost_.Post(overlayWindow_, kMsgApplyInputMode);
    if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) controller->OnWindowModeRestored();
}

void OOPManager::HandleExclusiveModeChanged(bool exclusive) {
    QM_LOG_WARNING(L"OOPManager::HandleExclusiveModeChanged", L"HandleExclusiveModeChanged %d", exclusive ? 1 : 0);
    SetClickThrough(!exclusive, false);
    lookAgain_ = true;
    exclusiveNotice_ = exclusive;
    exclusiveNoticePost_.Post(overlayWindow_, qm::overlay::kMsgExclusiveChanged, exclusive ? 1 : 0, kLatestValue);
}

void OOPManager::ApplyExclusiveInputMode() {
    if (!OOPHooksManager::IsExclusive()) return;
    QM_LOG_INFO(L"OOPManager::ApplyExclusiveInputMode", 1, L"exclusive mode over a %s game",
                windowManager_.IsFullScreen() ? L"full-screen" : L"windowed");
    ApplyExclusiveStyle(true);
}

void OOPManager::ApplyExclusiveStyle(bool again) {
    // Exclusive mode's rules for the state the game is in now: over a full-screen game the overlay
    // stays click-through and the game's input is blocked; over a window the overlay takes the
    // input itself and the game is free. Either way the player's input reaches one of the two.
    const bool fullScreen = windowManager_.IsFullScreen();
    clickThrough_ = false;
    if (fullScreen) {
        inputProxy_.SetInputBlocking(true);
    } else {
        // Entering, the game was not blocked.
        if (again) inputProxy_.SetInputBlocking(false);
        ForceForeground(overlayWindow_, true);
        if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) controller->OnOverlayActivated();
    }
    // Entering over a full-screen game, the style is the click-through one already.
    window_.ApplyClickThroughStyle(false, fullScreen, again);
}

void OOPManager::RunForceForeground(HWND window, bool flag) { windowManager_.ForceForegroundWindow(window, flag); }

void OOPManager::ForceForeground(HWND window, bool flag) {
    // Forcing attaches to the game's input and activates windows across it, which waits for the
    // game's thread: the window's thread forces only once the game has just answered the worker,
    // so a game that hangs (loading, say) delays the foreground alone. The latest request wins.
    foregroundTarget_ = window;
    foregroundCancelMode_ = flag;
    if (!worker_ || !overlayWindow_) {
        RunForceForeground(window, flag);
        return;
    }
    if (foregroundProbeQueued_.exchange(true)) return;
    if (!worker_->Post([this] { ForceForegroundOnceTheGameAnswers(); })) {
        foregroundProbeQueued_ = false;
        RunForceForeground(window, flag);
    }
}

void OOPManager::ForceForegroundOnceTheGameAnswers() {
    // One short question at a time, the worker's other tasks between them; the system answers at
    // once for a game it already counts as hung, so the worker then rests before asking again.
    constexpr UINT kAnswerWithinMs = 200;
    constexpr DWORD kAskAgainAfterMs = 100;
    HWND game = windowManager_.GetCachedGameWindow();
    DWORD_PTR result = 0;
    const bool answered = !game || !::IsWindow(game) ||
                          ::SendMessageTimeoutW(game, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, kAnswerWithinMs,
                                                &result) != 0;
    if (!answered && !exiting_) {
        if (::IsHungAppWindow(game)) ::Sleep(kAskAgainAfterMs);
        if (worker_->Post([this] { ForceForegroundOnceTheGameAnswers(); })) return;
    }
    foregroundProbeQueued_ = false;
    forceForegroundPost_.Post(overlayWindow_, kMsgForceForeground);
}

void OOPManager::PostFullScreenCheck(bool now) {
    constexpr uint64_t kCheckIntervalMs = 1000;
    if (!worker_) return;
    const uint64_t tick = ::GetTickCount64();
    if (!now && tick - lastFullScreenCheckTick_.load() < kCheckIntervalMs) return;
    // One check queued at a time: the worker must not fall behind the frames.
    if (fullScreenCheckQueued_.exchange(true)) return;
    lastFullScreenCheckTick_ = tick;
    if (!worker_->Post([this] {
            fullScreenCheckQueued_ = false;
            AssureFullScreenStateUpdated();
        })) {
        fullScreenCheckQueued_ = false;
    }
}

void OOPManager::RequestClickThrough(bool clickThrough) {
    if (OnWindowThread() || windowThreadId_ == 0) {
        SetClickThrough(clickThrough, false);
        return;
    }
    requestedClickThrough_ = clickThrough;
    // Nothing to ask while no request is on its way and the overlay already is as asked.
    if (!clickThroughPost_.Pending() && clickThrough == clickThrough_.load()) return;
    clickThroughPost_.Post(overlayWindow_, kMsgApplyClickThrough);
}

void OOPManager::SelectCursor(int32_t type, HCURSOR cursor) {
    cursors_.Request(type, cursor);
    if (OnWindowThread() || windowThreadId_ == 0 || !cursorPost_.Post(overlayWindow_, qm::overlay::kMsgRefreshCursor)) {
        ApplyCursorRequests();
    }
}

void OOPManager::ApplyCursorRequests() {
    int32_t type = 0;
    if (!cursors_.Apply(&type)) return;
    // The blocker hears of the kind once per change; it is only known once the proxy has
    // registered its messages.
    HWND blocker = inputProxy_.BlockerWindow();
    if (blocker && (blocker != blockerCursorWindow_ || type != blockerCursorType_) &&
        ::PostMessageW(blocker, inputProxy_.CursorMessage(), static_cast<WPARAM>(static_cast<intptr_t>(type)), 0)) {
        blockerCursorWindow_ = blocker;
        blockerCursorType_ = type;
    }
}

const CursorImage* OOPManager::CursorToDraw(bool* changed) {
    // The blocker hears of a new kind here too.
    ApplyCursorRequests();
    return cursors_.ToDraw(changed);
}
