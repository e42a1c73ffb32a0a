// Reference input blocker (QMClientOOPO.dll), loaded into the game by the injection helper. It
// creates the "STATIC" window "QM.ClientOOPO.<game pid>" that the host looks for; on the block
// message it disables the game's other top-level windows (so they get no mouse or keyboard input)
// and enables them again when told to stop, or as soon as the host that blocked them is gone (its
// process, whose id comes with the message, has ended, or its guard event no longer exists). Its
// state can be seen from outside through the named event "QM.ClientOOPO.Blocked.<pid>", set while
// blocking.
#include <windows.h>

#include <cstdio>

#include "qm/BlockerContract.h"

namespace {

UINT gBlockMessage = 0;
UINT gCursorMessage = 0;
HANDLE gBlockedEvent = nullptr;
HWND gWindow = nullptr;
WNDPROC gStaticProc = nullptr;

BOOL CALLBACK EnableGameWindow(HWND window, LPARAM enable) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (pid == ::GetCurrentProcessId() && window != gWindow) ::EnableWindow(window, enable != 0);
    return TRUE;
}

// The host that blocked the game, while it blocks.
HANDLE gHost = nullptr;

void SetBlocked(bool block, DWORD hostPid) {
    ::EnumWindows(&EnableGameWindow, block ? FALSE : TRUE);
    if (gHost) ::CloseHandle(gHost);
    gHost = block ? ::OpenProcess(SYNCHRONIZE, FALSE, hostPid) : nullptr;
    if (block) {
        ::SetEvent(gBlockedEvent);
    } else {
        ::ResetEvent(gBlockedEvent);
    }
}

bool GuardExists() {
    char name[64];
    std::snprintf(name, sizeof(name), qm::blocker::kTargetGuardFormat, static_cast<unsigned>(::GetCurrentProcessId()));
    HANDLE guard = ::OpenEventA(SYNCHRONIZE, FALSE, name);
    if (!guard) return false;
    ::CloseHandle(guard);
    return true;
}

LRESULT CALLBACK BlockerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == gBlockMessage && gBlockMessage != 0) {
        SetBlocked(wParam != 0, static_cast<DWORD>(lParam));
        return 0;
    }
    if (message == gCursorMessage && gCursorMessage != 0) return 0;
    return ::CallWindowProcW(gStaticProc, window, message, wParam, lParam);
}

DWORD WINAPI BlockerThread(void*) {
    gBlockMessage = ::RegisterWindowMessageA(qm::blocker::kBlockMessageName);
    gCursorMessage = ::RegisterWindowMessageA(qm::blocker::kCursorMessageName);
    char name[64];
    std::snprintf(name, sizeof(name), "QM.ClientOOPO.Blocked.%lu", ::GetCurrentProcessId());
    gBlockedEvent = ::CreateEventA(nullptr, TRUE, FALSE, name);
    std::snprintf(name, sizeof(name), qm::blocker::kWindowNameFormat, static_cast<unsigned>(::GetCurrentProcessId()));
    gWindow = ::CreateWindowExA(0, qm::blocker::kWindowClass, name, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (!gWindow) return 1;
    gStaticProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(gWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BlockerProc)));
    // While blocking, the host is watched: its end, or its guard event's, gives the game back its input.
    const bool guarded = GuardExists();
    for (;;) {
        const DWORD count = gHost ? 1 : 0;
        const DWORD r = ::MsgWaitForMultipleObjects(count, &gHost, FALSE, gHost ? 1000 : INFINITE, QS_ALLINPUT);
        if ((count == 1 && r == WAIT_OBJECT_0) || (gHost && r == WAIT_TIMEOUT && guarded && !GuardExists())) {
            SetBlocked(false, 0);
            continue;
        }
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return 0;
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

}  // namespace

// The helper's callback name: present so that a helper asking for it finds it.
extern "C" __declspec(dllexport) LRESULT CALLBACK QMClientOOPOCallback(int code, WPARAM wParam, LPARAM lParam) {
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
        if (HANDLE thread = ::CreateThread(nullptr, 0, &BlockerThread, nullptr, 0, nullptr)) ::CloseHandle(thread);
    }
    return TRUE;
}
