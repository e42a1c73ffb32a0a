#include "gamewindow/GameWindowEvents.h"

namespace {
// The system's callback carries no context: the one watch of the process.
GameWindowEvents* gWatch = nullptr;
}  // namespace

bool GameWindowEvents::Start(uint32_t gamePid) {
    if (gWatch && gWatch != this) return false;
    Stop();
    constexpr DWORD kFlags = WINEVENT_OUTOFCONTEXT;
    // The foreground of every process, this one's too: the game losing it to another application
    // or to the overlay counts.
    hooks_[0] = ::SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr, &OnEvent, 0, 0, kFlags);
    hooks_[1] = ::SetWinEventHook(EVENT_SYSTEM_MINIMIZESTART, EVENT_SYSTEM_MINIMIZEEND, nullptr, &OnEvent, gamePid, 0,
                                  kFlags);
    // Show, hide, reorder and location of the game's own windows.
    hooks_[2] = ::SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_LOCATIONCHANGE, nullptr, &OnEvent, gamePid, 0, kFlags);
    const bool any = hooks_[0] || hooks_[1] || hooks_[2];
    if (any) gWatch = this;
    return any;
}

void GameWindowEvents::Stop() {
    for (HWINEVENTHOOK& hook : hooks_) {
        if (hook) ::UnhookWinEvent(hook);
        hook = nullptr;
    }
    if (gWatch == this) gWatch = nullptr;
}

bool GameWindowEvents::Take(uint32_t kinds) {
    const bool any = (changed_ & kinds) != 0;
    changed_ &= ~kinds;
    return any;
}

void GameWindowEvents::Deliver(DWORD event, HWND window, LONG object) {
    GameWindowEvents* watch = gWatch;
    if (!watch) return;
    switch (event) {
        case EVENT_SYSTEM_FOREGROUND:
            watch->Note(kForeground);
            break;
        case EVENT_SYSTEM_MINIMIZESTART:
        case EVENT_SYSTEM_MINIMIZEEND:
            if (window == watch->window_) watch->Note(kLocation);
            break;
        case EVENT_OBJECT_SHOW:
        case EVENT_OBJECT_HIDE:
        case EVENT_OBJECT_REORDER:
            if (object == OBJID_WINDOW) watch->Note(kOrder);
            break;
        case EVENT_OBJECT_LOCATIONCHANGE:
            // Carets and cursors report their locations too.
            if (object == OBJID_WINDOW && window == watch->window_) watch->Note(kLocation);
            break;
        default:
            break;
    }
}

void CALLBACK GameWindowEvents::OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG, DWORD, DWORD) {
    Deliver(event, window, object);
}
