#include "core/OverlayWindow.h"

#include <dwmapi.h>

#include "core/OOPManager.h"
#include "logging/Log.h"
#include "qm/OverlayWindowContract.h"

OverlayWindow::~OverlayWindow() { Destroy(); }

bool OverlayWindow::Create(HINSTANCE instance, DWORD exStyle, const RECT& at, Owner* owner) {
    constexpr const wchar_t* kFn = L"OOPManager::InitWindow";
    QM_LOG_INFO(kFn, 1, L"initilze window");
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(WNDCLASSEXW);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &OverlayWindow::Procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = qm::overlay::kWindowClass;
    if (!::RegisterClassExW(&windowClass)) {
        QM_LOG_ERROR(kFn, L"window register error 0x%x", static_cast<unsigned>(::GetLastError()));
        return false;
    }
    instance_ = instance;
    classRegistered_ = true;
    owner_ = owner;
    // Made hidden (it is hidden right after anyway): a window shown at creation can take the
    // foreground from the game on systems that ignore WS_EX_NOACTIVATE there.
    HWND foreground = ::GetForegroundWindow();
    window_ = ::CreateWindowExW(exStyle | qm::overlay::kFixedExStyle, qm::overlay::kWindowClass,
                                qm::overlay::kWindowTitle, WS_POPUP, at.left, at.top, at.right - at.left,
                                at.bottom - at.top, nullptr, nullptr, instance, this);
    if (!window_) {
        QM_LOG_ERROR(kFn, L"window creation error 0x%x", static_cast<unsigned>(::GetLastError()));
        return false;
    }
    if (foreground && foreground != window_ && ::GetForegroundWindow() == window_) ::SetForegroundWindow(foreground);
    if (!::SetLayeredWindowAttributes(window_, 0, 255, LWA_ALPHA)) {
        QM_LOG_ERROR(kFn, L"layer window error 0x%x", static_cast<unsigned>(::GetLastError()));
        return false;
    }
    const MARGINS margins{-1, 0, 0, 0};
    const HRESULT hr = ::DwmExtendFrameIntoClientArea(window_, &margins);
    if (FAILED(hr)) {
        QM_LOG_ERROR(L"OOPManager::InitDWM", L"window DWM error 0x%x", static_cast<unsigned>(hr));
        return false;
    }
    ::ShowWindow(window_, SW_HIDE);
    ::UpdateWindow(window_);
    return true;
}

void OverlayWindow::Destroy() {
    owner_ = nullptr;
    if (window_) ::DestroyWindow(window_);
    window_ = nullptr;
    UnregisterClass();
}

void OverlayWindow::UnregisterClass() {
    if (classRegistered_) ::UnregisterClassW(qm::overlay::kWindowClass, instance_);
    classRegistered_ = false;
}

void OverlayWindow::Show(bool shown) const {
    if (window_) ::ShowWindow(window_, shown ? SW_SHOWNA : SW_HIDE);
}

bool OverlayWindow::Transparent() const { return (::GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_TRANSPARENT) != 0; }

void OverlayWindow::ApplyClickThroughStyle(bool clickThrough, bool fullScreen, bool again) const {
    if (!clickThrough && fullScreen && !again) return;
    const LONG style = ::GetWindowLongW(window_, GWL_EXSTYLE);
    const bool transparent = clickThrough || fullScreen;
    ::SetWindowLongW(window_, GWL_EXSTYLE, transparent ? style | WS_EX_TRANSPARENT : style & ~WS_EX_TRANSPARENT);
}

HWND OverlayWindow::InsertAfter(const Game& game) const {
    if (!game.window || game.rect.left == kMinimizedLeft || game.minimized || ::IsHungAppWindow(game.window)) {
        return HWND_TOPMOST;
    }
    // While the full-screen state is unknown the overlay sits directly above the game, where it
    // covers no other application.
    if (game.fullScreenKnown && game.fullScreen) return HWND_TOPMOST;
    for (HWND w = ::GetWindow(game.window, GW_HWNDPREV); w; w = ::GetWindow(w, GW_HWNDPREV)) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(w, &pid);
        if (pid != game.pid && ::IsWindowVisible(w) && w != window_) return w;
    }
    return HWND_TOPMOST;
}

bool OverlayWindow::Move(const RECT& rect) const {
    if (rect.left == kMinimizedLeft) return false;
    return ::SetWindowPos(window_, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                          SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER) != FALSE;
}

bool OverlayWindow::Matches(const RECT& rect) const {
    RECT overlay{};
    if (!::GetWindowRect(window_, &overlay)) return true;
    return overlay.left == rect.left && overlay.top == rect.top && overlay.right == rect.right &&
           overlay.bottom == rect.bottom;
}

void OverlayWindow::Place(const Game& game, bool force, uint32_t width, uint32_t height) {
    constexpr UINT kZOrderOnly = SWP_NOSIZE | SWP_NOMOVE | SWP_NOREDRAW | SWP_NOACTIVATE | SWP_NOSENDCHANGING;
    HWND foreground = ::GetForegroundWindow();
    DWORD foregroundPid = 0;
    ::GetWindowThreadProcessId(foreground, &foregroundPid);
    const bool gameIsForeground = foreground && foregroundPid == game.pid;
    const bool newForeground = gameIsForeground && foreground != lastForeground_;
    lastForeground_ = foreground;

    if (gameIsForeground == gameWasForeground_ && !force && !newForeground) {
        HWND after = InsertAfter(game);
        if (after == HWND_TOPMOST || ::GetWindow(after, GW_HWNDNEXT) != window_) {
            ::SetWindowPos(window_, after, 0, 0, 0, 0, kZOrderOnly);
        }
    } else {
        const bool noMove = game.rect.left == kMinimizedLeft || game.minimized;
        ::SetWindowPos(window_, InsertAfter(game), game.rect.left, game.rect.top, static_cast<int>(width),
                       static_cast<int>(height), noMove ? kZOrderOnly : SWP_NOACTIVATE);
    }
    gameWasForeground_ = gameIsForeground;
}

LRESULT CALLBACK OverlayWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    const auto* self = reinterpret_cast<const OverlayWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || !self->owner_) return ::DefWindowProcW(window, message, wParam, lParam);
    return self->owner_->OnOverlayMessage(window, message, wParam, lParam);
}


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
