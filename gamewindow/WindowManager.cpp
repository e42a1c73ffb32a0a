#include "gamewindow/WindowManager.h"

#include "logging/Log.h"

HWND WindowManager::Lookup(bool store) {
    HWND cached = facts_.game.load();
    if (cached && !::IsWindow(cached)) {
        facts_.game.compare_exchange_strong(cached, nullptr);
        cached = nullptr;
    }
    if (cached) return store ? ChooseAgain(cached) : cached;
    if (!handler_) return nullptr;
    HWND found = handler_->GetGameWindowHandle(gamePid_);
    found_ = found;
    Note(kWindowSearched);
    if (store) facts_.game = found;
    return found;
}

HWND WindowManager::ChooseAgain(HWND cached) {
    // A launcher that hides for the game's window, or a game that hides its window for another:
    // four times a second the choice is made again when the cached window is not shown, or when
    // another window of the game that qualifies has the foreground.
    constexpr uint64_t kLookEveryMs = 250;
    if (!handler_ || !handler_->ChoosesAgain()) return cached;
    const uint64_t now = ::GetTickCount64();
    if (now - lastChoiceTick_ < kLookEveryMs) return cached;
    lastChoiceTick_ = now;
    const uint32_t pid = gamePid_;
    if (::IsWindowVisible(cached) && !handler_->PrefersOther(cached, pid)) return cached;
    HWND found = handler_->GetGameWindowHandle(pid);
    if (!found || found == cached) return cached;
    QM_LOG_INFO(L"WindowManager::ChooseAgain", 1, L"game window changed: 0x%x -> 0x%x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(cached)),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(found)));
    facts_.game = found;
    found_ = found;
    Note(kWindowSearched);
    return found;
}

bool WindowManager::UpdateFullScreenState(bool fullScreen) {
    if (fullScreen == facts_.fullScreen.load()) {
        fullScreenStateUpdated_ = true;
        return false;
    }
    QM_LOG_INFO(L"WindowManager::UpdateFullScreenState", 1, L"Fullscreen mode changed to: %d", fullScreen ? 1 : 0);
    facts_.fullScreen = fullScreen;
    fullScreenStateUpdated_ = true;
    Note(kFullScreenChanged);
    return true;
}

void WindowManager::SetMonitor(HMONITOR monitor) {
    if (monitor == monitor_) return;
    monitor_ = monitor;
    Note(kMonitorChanged);
}

void WindowManager::ForceForegroundWindow(HWND target, bool cancelMode) {
    if (!handler_) return;
    if (facts_.fullScreen.load()) {
        QM_LOG_WARNING(L"WindowManager::ForceForegroundWindow", L"skip, is full screen exclusive");
        return;
    }
    handler_->ForceForegroundWindow(target, cancelMode);
}

int32_t WindowManager::UpdateGameWindowRect(RECT& rect, bool force) {
    if (!handler_) return 0;
    return handler_->UpdateGameWindowRect(rect, force);
}
