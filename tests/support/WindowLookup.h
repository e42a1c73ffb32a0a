#pragma once
// Finding and measuring top-level windows, for the tests and the benchmarks alike.
#include <windows.h>

namespace test {

// The first top-level window of `className` that belongs to process `pid` (and is shown, when asked).
inline HWND FindWindowOfProcess(const wchar_t* className, DWORD pid, bool shownOnly = false) {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, className, nullptr); w;
         w = ::FindWindowExW(nullptr, w, className, nullptr)) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(w, &owner);
        if (owner == pid && (!shownOnly || ::IsWindowVisible(w))) return w;
    }
    return nullptr;
}

// A window's client area in screen coordinates.
inline RECT ClientOnScreen(HWND window) {
    RECT r{};
    ::GetClientRect(window, &r);
    POINT a{r.left, r.top}, b{r.right, r.bottom};
    ::ClientToScreen(window, &a);
    ::ClientToScreen(window, &b);
    return RECT{a.x, a.y, b.x, b.y};
}

}  // namespace test
