#include "core/OverlayWindow.h"

#include <dwmapi.h>

#include "logging/Log.h"
#include "qm/OverlayWindowContract.h"

namespace {
// Another host's overlay over the same game (two clients each started one): it counts as part of
// the game's stack, so neither host moves itself above the other, and both settle at once.
bool IsOverlayOfAnotherHost(HWND window, HWND own) {
    if (window == own) return false;
    wchar_t name[32] = {};
    return ::GetClassNameW(window, name, 32) > 0 && ::lstrcmpW(name, qm::overlay::kWindowClass) == 0;
}
}  // namespace

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
        if (pid != game.pid && ::IsWindowVisible(w) && w != window_ && !IsOverlayOfAnotherHost(w, window_)) return w;
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

bool OverlayWindow::LiesUnder(HWND after) const {
    // Other hosts' overlays may lie between that place and this one.
    HWND above = ::GetWindow(window_, GW_HWNDPREV);
    while (above && above != after && IsOverlayOfAnotherHost(above, window_)) above = ::GetWindow(above, GW_HWNDPREV);
    return after == HWND_TOPMOST ? above == nullptr && (::GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0
                                 : above == after;
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
        // Already where it belongs: a z-order call would only cost a round trip to the system.
        if (!LiesUnder(after)) ::SetWindowPos(window_, after, 0, 0, 0, 0, kZOrderOnly);
    } else {
        const bool noMove = game.rect.left == kMinimizedLeft || game.minimized;
        HWND after = InsertAfter(game);
        UINT flags = noMove ? kZOrderOnly : SWP_NOACTIVATE;
        if (LiesUnder(after)) flags |= SWP_NOZORDER;
        ::SetWindowPos(window_, after, game.rect.left, game.rect.top, static_cast<int>(width), static_cast<int>(height),
                       flags);
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

void OverlayWindow::RememberNeighbours() {
    above_ = ::GetWindow(window_, GW_HWNDPREV);
    below_ = ::GetWindow(window_, GW_HWNDNEXT);
}

bool OverlayWindow::NeighboursUnchanged() const {
    return ::GetWindow(window_, GW_HWNDPREV) == above_ && ::GetWindow(window_, GW_HWNDNEXT) == below_;
}
