// Reference input blocker (QMClientOOPO.dll), loaded into the game by the injection helper. It
// creates the "STATIC" window "QM.ClientOOPO.<game pid>" that the host looks for; on the block
// message it disables the game's other top-level windows (so they get no mouse or keyboard input)
// and enables them again when told to stop. Its state can be seen from outside through the named
// event "QM.ClientOOPO.Blocked.<pid>", set while blocking.
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

LRESULT CALLBACK BlockerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == gBlockMessage && gBlockMessage != 0) {
        const bool block = wParam != 0;
        ::EnumWindows(&EnableGameWindow, block ? FALSE : TRUE);
        if (block) {
            ::SetEvent(gBlockedEvent);
        } else {
            ::ResetEvent(gBlockedEvent);
        }
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
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return 0;
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
