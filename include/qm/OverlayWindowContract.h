#pragma once
// The overlay window as other programs see it: its class and title, its extended styles and the
// private messages it answers.
#include <windows.h>

#include <cstdint>

namespace qm {
namespace overlay {

constexpr const wchar_t* kWindowClass = L"OOPO_WINDOWS_CLASS";
constexpr const wchar_t* kWindowTitle = L"qm overlay";

// Every overlay window carries these; each manager adds its own on top.
constexpr uint32_t kFixedExStyle = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT | WS_EX_TOPMOST;
static_assert(kFixedExStyle == 0x080800A8, "fixed extended styles");
// What a manager adds unless it says otherwise.
constexpr uint32_t kManagerExStyle = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOPMOST;
static_assert(kManagerExStyle == 0x08080008, "a manager's default extended styles");

// Private messages (WM_USER + 7 to 10).
constexpr UINT kMsgExclusiveChanged = WM_USER + 7;   // wParam 1 entering exclusive mode, 0 leaving
constexpr UINT kMsgBringToForeground = WM_USER + 8;
constexpr UINT kMsgResizeDevice = WM_USER + 9;
constexpr UINT kMsgRefreshCursor = WM_USER + 10;
static_assert(kMsgExclusiveChanged == 1031 && kMsgRefreshCursor == 1034, "private messages 1031 to 1034");

}  // namespace overlay
}  // namespace qm
