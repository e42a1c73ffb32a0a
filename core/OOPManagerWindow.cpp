// The manager's side of its overlay window: the window's messages, the pass's look at the game's
// window state, what placement is handed, and the click-through mode.
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
        case WM_ACTIVATE:
            // The overlay never keeps the foreground: it goes straight back.
            if (LOWORD(wParam) != WA_INACTIVE && lParam) ::SetForegroundWindow(reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_NCHITTEST:
            return manager->clickThrough_ ? HTTRANSPARENT : HTCLIENT;
        case WM_SETCURSOR:
        case qm::overlay::kMsgRefreshCursor:
            if (!manager->clickThrough_) {
                if (HCURSOR cursor = ::GetCursor()) ::SetCursor(cursor);
                if (controller) controller->OnOverlayActivated();
            }
            return 1;
        case qm::overlay::kMsgExclusiveChanged: {
            const bool flag = wParam != 0;
            manager->ForceForeground(flag ? manager->overlayWindow_ : manager->windowManager_.GetGameWindow(), flag);
            if (controller) controller->OnOverlayActivated();
            return 1;
        }
        case qm::overlay::kMsgBringToForeground:
            manager->ForceForeground(manager->overlayWindow_, true);
            return 1;
        case qm::overlay::kMsgResizeDevice:
            manager->ResizeDevice(manager->backBufferWidth_, manager->backBufferHeight_);
            return 1;
        case kMsgApplyClickThrough: {
            manager->clickThroughPosted_ = false;
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
    const bool wanted = gameShown && !minimized_ && !(fullScreenRenderingOff_ && windowManager_.IsFullScreen());
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

bool OOPManager::ResizeDevice(uint32_t width, uint32_t height) {
    if (minimized_) return false;
    if (backBufferWidth_ != 0 && backBufferHeight_ != 0 && fullScreenRenderingOff_ && windowManager_.IsFullScreen()) {
        return false;
    }
    if (!ResetD3D(width, height)) return false;
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
