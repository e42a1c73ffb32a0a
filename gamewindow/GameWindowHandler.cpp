#include "gamewindow/GameWindowHandler.h"

#include <cstring>

#include "gamewindow/GameWindowState.h"
#include "logging/Log.h"

namespace {

unsigned WindowId(HWND window) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(window)); }

bool BelongsTo(HWND window, uint32_t processId) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    return pid == processId;
}

bool IsLargeEnough(HWND window) {
    RECT client{};
    return ::GetClientRect(window, &client) && client.right - client.left >= 300 && client.bottom - client.top >= 300;
}

void PrintGameWindowInfo(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    wchar_t title[1025] = {};
    // The title the system keeps: no message to the game, which may be hung.
    if (::InternalGetWindowText(window, title, 1024) == 0) title[0] = L'\0';
    QM_LOG_INFO(L"`anonymous-namespace'::PrintGameWindowInfo", 1, L"Game window detect: 0x%x ({%d,%d,%d,%d}): %s",
                WindowId(window), static_cast<int>(client.left), static_cast<int>(client.top),
                static_cast<int>(client.right), static_cast<int>(client.bottom), title);
}

bool ClassIs(HWND window, const char* name) {
    char className[260] = {};
    ::GetClassNameA(window, className, static_cast<int>(sizeof(className)));
    return std::strcmp(className, name) == 0;
}

}  // namespace

Win32GameWindowHandler::Win32GameWindowHandler(Delegate* delegate, const OverlayFacts& facts)
    : GameWindowHandler(delegate, facts), detector_(std::make_unique<FullScreenDetector>()) {}

HWND Win32GameWindowHandler::GetGameWindowHandle(uint32_t processId) {
    constexpr const wchar_t* kFn = L"Win32GameWindowHandler::GetGameWindowHandle";
    HWND foreground = ::GetForegroundWindow();
    if (foreground && BelongsTo(foreground, processId) && IsLargeEnough(foreground)) {
        QM_LOG_INFO(kFn, 1, L"Game is windows foreground window 0x%x", WindowId(foreground));
        PrintGameWindowInfo(foreground);
        return foreground;
    }
    for (HWND w = ::GetTopWindow(nullptr); w; w = ::GetWindow(w, GW_HWNDNEXT)) {
        if (BelongsTo(w, processId) && IsLargeEnough(w) && ::IsWindowVisible(w)) {
            QM_LOG_INFO(kFn, 1, L"Found game window 0x%x ", WindowId(w));
            PrintGameWindowInfo(w);
            return w;
        }
    }
    return nullptr;
}

bool Win32GameWindowHandler::PrefersOther(HWND cached, uint32_t processId) {
    // The first rule of choosing: the game's own foreground window, when large enough.
    HWND foreground = ::GetForegroundWindow();
    return foreground && foreground != cached && BelongsTo(foreground, processId) && ::IsWindowVisible(foreground) &&
           IsLargeEnough(foreground);
}

bool GameWindowHandler::ReadGameRect(HWND game, RECT& rect) {
    RECT previous{};
    for (int i = 0; i < 4; ++i) {
        RECT client{};
        if (!::GetClientRect(game, &client)) return false;
        AdjustClientRect(game, client);
        // Both corners in one call: under Wine each call is a server round trip.
        ::SetLastError(0);
        if (::MapWindowPoints(game, nullptr, reinterpret_cast<POINT*>(&client), 2) == 0 && ::GetLastError() != 0) {
            return false;
        }
        rect = client;
        // The rectangle as last read needs no second look: a read mixing two places would differ.
        if (i == 0 && ::EqualRect(&rect, &lastRead_)) return true;
        if (i > 0 && ::EqualRect(&rect, &previous)) break;
        previous = rect;
    }
    lastRead_ = rect;  // when still moving after four reads, the next read catches up
    return true;
}

int32_t Win32GameWindowHandler::UpdateGameWindowRect(RECT& rect, bool force) {
    HWND game = delegate_->FindGameWindow();
    if (!game) {
        ::ShowWindow(facts_.overlay.load(), SW_HIDE);
        return kUnchanged;
    }
    if (!ReadGameRect(game, rect)) return kUnchanged;

    RECT& lastClientRect = lastClientRect_;
    RECT& lastScreenRect = lastScreenRect_;
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    const bool sameSize = width == lastClientRect.right - lastClientRect.left &&
                          height == lastClientRect.bottom - lastClientRect.top;
    if (!sameSize) lastClientRect = RECT{0, 0, width, height};

    if (rect.top == lastScreenRect.top && rect.left == lastScreenRect.left) {
        lastScreenRect = rect;
        if (force) return kForced;
        return sameSize ? kUnchanged : kResized;
    }
    delegate_->SetMonitor(::MonitorFromWindow(facts_.overlay.load(), MONITOR_DEFAULTTONEAREST));
    lastScreenRect = rect;
    if (force) return kForced;
    return sameSize ? kMoved : kMovedAndResized;
}

void Win32GameWindowHandler::ForceForegroundWindow(HWND target, bool cancelMode) {
    constexpr const wchar_t* kFn = L"Win32GameWindowHandler::ForceForegroundWindow";
    if (facts_.fullScreen.load()) {
        QM_LOG_INFO(kFn, 1, L"skip set foreground (device exclusive mode)");
        return;
    }
    HWND game = delegate_->GetGameWindow();
    HWND overlay = facts_.overlay.load();
    HWND foreground = ::GetForegroundWindow();
    if (cancelMode) ::PostMessageW(game, WM_CANCELMODE, 0, 0);
    if (foreground != game && foreground != overlay) {
        wchar_t gameTitle[260] = {};
        wchar_t foregroundTitle[260] = {};
        ::GetWindowTextW(game, gameTitle, 260);
        ::GetWindowTextW(foreground, foregroundTitle, 260);
        QM_LOG_INFO(kFn, 1, L"ForceForegroundWindowImp Invalid foreground 0x%x %s => 0x%x %s", WindowId(game), gameTitle,
                    WindowId(foreground), foregroundTitle);
        return;
    }
    const DWORD foregroundThread = ::GetWindowThreadProcessId(foreground, nullptr);
    const DWORD callingThread = ::GetCurrentThreadId();
    if (foregroundThread == callingThread) {
        ::BringWindowToTop(target);
        ::SetForegroundWindow(target);
        ::ShowWindow(target, SW_SHOWNA);
    } else {
        ::AttachThreadInput(foregroundThread, callingThread, TRUE);
        ::BringWindowToTop(target);
        ::ShowWindow(target, SW_SHOWNA);
        ::AttachThreadInput(foregroundThread, callingThread, FALSE);
    }
    ::SetForegroundWindow(target);
    QM_LOG_INFO(kFn, 1, L"forced foreground");
}

void Win32GameWindowHandler::DetectFullScreen() {
    QUERY_USER_NOTIFICATION_STATE state{};
    const HRESULT hr = Overlay::GameWindow::QueryNotificationState(&state);
    delegate_->UpdateFullScreenState(SUCCEEDED(hr) && state == QUNS_RUNNING_D3D_FULL_SCREEN);
}

UWPHandler::UWPHandler(Delegate* delegate, const OverlayFacts& facts, uint32_t gamePid)
    : Win32GameWindowHandler(delegate, facts), gamePid_(gamePid) {}

HWND UWPHandler::GetGameWindowHandle(uint32_t processId) {
    HWND frame = nullptr;
    for (HWND w = ::GetTopWindow(nullptr); w && !frame; w = ::GetWindow(w, GW_HWNDNEXT)) {
        if (!BelongsTo(w, processId)) continue;
        HWND parent = ::GetParent(w);
        if (!parent) continue;
        RECT parentClient{};
        ::GetClientRect(parent, &parentClient);
        if (parentClient.right == 0 || parentClient.bottom == 0) continue;
        if (!ClassIs(parent, "ApplicationFrameWindow")) {
            w = parent;  // the walk goes on from the parent
            continue;
        }
        frame = parent;
        titleBarHeight_ = 0;
        for (HWND child = ::GetTopWindow(frame); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            if (ClassIs(child, "ApplicationFrameTitleBarWindow")) {
                RECT bar{};
                ::GetClientRect(child, &bar);
                titleBarHeight_ = bar.bottom - bar.top;
                break;
            }
        }
        coreWindow_ = nullptr;
        for (HWND child = ::GetTopWindow(frame); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            if (ClassIs(child, "Windows.UI.Core.CoreWindow")) {
                coreWindow_ = child;
                break;
            }
        }
    }
    delegate_->UpdateFullScreenState(frame == nullptr);
    return frame;
}

void UWPHandler::ForceForegroundWindow(HWND /*target*/, bool cancelMode) {
    if (cancelMode) {
        ::PostMessageW(coreWindow_, WM_CANCELMODE, 0, 0);
        if (facts_.takesForegroundOnCancel.load()) {
            HWND overlay = facts_.overlay.load();
            ::SetForegroundWindow(overlay);
            ::SetFocus(overlay);
            ::SetActiveWindow(overlay);
        }
        return;
    }
    ::SetForegroundWindow(coreWindow_);
    HWND frame = delegate_->GetGameWindow();
    ::SetForegroundWindow(frame);
    RECT r{};
    ::GetWindowRect(frame, &r);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = (r.right - r.left) / 2;
    input.mi.dy = (r.bottom - r.top) / 2;
    input.mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
#ifdef _WIN64
    static_assert(sizeof(INPUT) == 40, "the input record of 64-bit programs");
#endif
    ::SendInput(1, &input, sizeof(INPUT));
}

void UWPHandler::DetectFullScreen() {
    if (GetGameWindowHandle(gamePid_)) delegate_->UpdateFullScreenState(facts_.fullScreen.load());
}

void UWPHandler::AdjustClientRect(HWND game, RECT& rect) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    if (::GetWindowPlacement(game, &placement) && placement.showCmd == SW_SHOWMAXIMIZED) rect.top += 8;
    rect.top += titleBarHeight_;
}
