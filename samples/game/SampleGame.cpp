// A stand-in game: one top-level window that paints itself and does what it is told, either by a
// timeline on its command line or by messages sent to its window.
//
//   sample-game.exe [--title T] [--pos X,Y] [--size WxH] [--colour RRGGBB] [--hidden] [--minimized]
//                   [--script "ms:command;ms:command..."] [--repeat ms] [--exit-after ms] [--uwp]
//                   [--info-file PATH]
//
// Commands (timeline, relative to the start): move X Y, size W H, minimize, restore, hide, show,
// maximize, hang MS, close. With --repeat the timeline starts over every that many milliseconds.
// Through messages: WM_APP+1 hang (wParam = milliseconds); WM_APP+2 re-create the window in place, as
// games do when they change display modes (wParam = milliseconds without a window); WM_APP+3 hand over
// to a second window of the game 150,100 further on, then hide this one, as a launcher does.
// With --uwp a second process owns an "ApplicationFrameWindow" with a title bar and a core window,
// and this process's window is owned by that frame, as a UWP app's is. --info-file keeps a file with
// "pid left top right bottom" (the client area on the screen) up to date for scripts. The left clicks
// the window got are counted in its property "QMSampleGame.Clicks".
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kGameClass[] = L"QMSampleGame";
constexpr wchar_t kFrameClass[] = L"ApplicationFrameWindow";
constexpr wchar_t kTitleBarClass[] = L"ApplicationFrameTitleBarWindow";
constexpr wchar_t kCoreClass[] = L"Windows.UI.Core.CoreWindow";
constexpr UINT kMsgHang = WM_APP + 1;
constexpr UINT kMsgRecreate = WM_APP + 2;
constexpr UINT kMsgHandOver = WM_APP + 3;
constexpr int kTitleBarHeight = 32;

struct Step {
    DWORD at = 0;
    std::wstring command;
};

struct Options {
    std::wstring title = L"QM Sample Game";
    int x = 100, y = 100, width = 640, height = 480;
    COLORREF colour = RGB(0x20, 0x60, 0x80);
    bool hidden = false;
    bool minimized = false;
    bool uwp = false;
    bool frameHost = false;
    DWORD gamePid = 0;
    DWORD exitAfter = 0;
    DWORD repeat = 0;
    std::vector<Step> script;
    std::wstring infoFile;
};

Options gOptions;
HBRUSH gBrush = nullptr;
size_t gNextStep = 0;
DWORD gStart = 0;
DWORD gRoundStart = 0;

std::vector<Step> ParseScript(const std::wstring& text) {
    std::vector<Step> steps;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L';', pos);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring item = text.substr(pos, end - pos);
        const size_t colon = item.find(L':');
        if (colon != std::wstring::npos) steps.push_back(Step{static_cast<DWORD>(_wtoi(item.c_str())), item.substr(colon + 1)});
        pos = end + 1;
    }
    return steps;
}

void RunCommand(HWND window, const std::wstring& command) {
    int a = 0, b = 0;
    wchar_t verb[32] = {};
    const int n = swscanf(command.c_str(), L"%31ls %d %d", verb, &a, &b);
    if (n < 1) return;
    const std::wstring v = verb;
    if (v == L"move" && n == 3) {
        ::SetWindowPos(window, nullptr, a, b, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (v == L"size" && n == 3) {
        ::SetWindowPos(window, nullptr, 0, 0, a, b, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (v == L"minimize") {
        ::ShowWindow(window, SW_MINIMIZE);
    } else if (v == L"restore") {
        ::ShowWindow(window, SW_RESTORE);
    } else if (v == L"maximize") {
        ::ShowWindow(window, SW_MAXIMIZE);
    } else if (v == L"hide") {
        ::ShowWindow(window, SW_HIDE);
    } else if (v == L"show") {
        ::ShowWindow(window, SW_SHOW);
    } else if (v == L"hang" && n >= 2) {
        ::Sleep(static_cast<DWORD>(a));
    } else if (v == L"close") {
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

void WriteInfo(HWND window) {
    if (gOptions.infoFile.empty()) return;
    RECT r{};
    ::GetClientRect(window, &r);
    POINT a{r.left, r.top}, b{r.right, r.bottom};
    ::ClientToScreen(window, &a);
    ::ClientToScreen(window, &b);
    char line[128];
    const int n = snprintf(line, sizeof(line), "%lu %ld %ld %ld %ld\n", ::GetCurrentProcessId(), a.x, a.y, b.x, b.y);
    HANDLE f = ::CreateFileW(gOptions.infoFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(f, line, static_cast<DWORD>(n), &written, nullptr);
    ::CloseHandle(f);
}

// Made anew after a re-creation: the window goes, and the process does not end with it.
bool gReplacing = false;

HWND MakeGameWindow(int x, int y, int width, int height) {
    HWND window = ::CreateWindowExW(0, kGameClass, gOptions.title.c_str(), WS_OVERLAPPEDWINDOW, x, y, width, height,
                                    nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (window) {
        ::ShowWindow(window, SW_SHOW);
        ::UpdateWindow(window);
    }
    return window;
}

LRESULT CALLBACK GameProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_MOVE:
        case WM_SIZE:
            WriteInfo(hwnd);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(hwnd, &ps);
            RECT client{};
            ::GetClientRect(hwnd, &client);
            ::FillRect(dc, &client, gBrush);
            ::SetBkMode(dc, TRANSPARENT);
            ::SetTextColor(dc, RGB(255, 255, 255));
            ::DrawTextW(dc, gOptions.title.c_str(), -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            ::EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_LBUTTONDOWN:
            // Counted where other processes can read it: the clicks that reached the game.
            ::SetPropW(hwnd, L"QMSampleGame.Clicks",
                       reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(::GetPropW(hwnd, L"QMSampleGame.Clicks")) + 1));
            return 0;
        case WM_TIMER: {
            const DWORD now = ::GetTickCount();
            const DWORD elapsed = now - gStart;
            if (gOptions.repeat && now - gRoundStart >= gOptions.repeat) {
                gRoundStart += gOptions.repeat;
                gNextStep = 0;
            }
            while (gNextStep < gOptions.script.size() && gOptions.script[gNextStep].at <= now - gRoundStart) {
                RunCommand(hwnd, gOptions.script[gNextStep++].command);
            }
            if (gOptions.exitAfter && elapsed >= gOptions.exitAfter) ::DestroyWindow(hwnd);
            return 0;
        }
        case kMsgHang:
            ::Sleep(static_cast<DWORD>(wParam));
            return 0;
        case kMsgRecreate:
        case kMsgHandOver: {
            RECT r{};
            ::GetWindowRect(hwnd, &r);
            if (message == kMsgHandOver) {
                MakeGameWindow(r.left + 150, r.top + 100, r.right - r.left, r.bottom - r.top);
                ::ShowWindow(hwnd, SW_HIDE);
                return 0;
            }
            gReplacing = true;
            ::DestroyWindow(hwnd);
            gReplacing = false;
            ::Sleep(static_cast<DWORD>(wParam));
            MakeGameWindow(r.left, r.top, r.right - r.left, r.bottom - r.top);
            return 0;
        }
        case WM_DESTROY:
            if (!gReplacing) ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

LRESULT CALLBACK FramePartProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY && !::GetParent(hwnd)) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

bool Register(const wchar_t* name, WNDPROC proc, HBRUSH background) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    return ::RegisterClassExW(&wc) != 0;
}

int Pump() {
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

// The frame process: the application frame with its title bar and core window; it ends with the game.
int RunFrameHost() {
    Register(kFrameClass, FramePartProc, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    Register(kTitleBarClass, FramePartProc, reinterpret_cast<HBRUSH>(COLOR_ACTIVECAPTION + 1));
    Register(kCoreClass, FramePartProc, nullptr);
    // The title comes last: the game looks for it, and must find the frame complete.
    HWND frame = ::CreateWindowExW(0, kFrameClass, L"", WS_POPUP | WS_VISIBLE, gOptions.x,
                                   gOptions.y, gOptions.width, gOptions.height, nullptr, nullptr, nullptr, nullptr);
    if (!frame) return 2;
    ::CreateWindowExW(0, kTitleBarClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, gOptions.width, kTitleBarHeight, frame,
                      nullptr, nullptr, nullptr);
    ::CreateWindowExW(0, kCoreClass, L"", WS_CHILD | WS_VISIBLE, 0, kTitleBarHeight, gOptions.width,
                      gOptions.height - kTitleBarHeight, frame, nullptr, nullptr, nullptr);
    ::SetWindowTextW(frame, gOptions.title.c_str());
    HANDLE game = ::OpenProcess(SYNCHRONIZE, FALSE, gOptions.gamePid);
    for (;;) {
        const DWORD r = ::MsgWaitForMultipleObjects(game ? 1 : 0, &game, FALSE, INFINITE, QS_ALLINPUT);
        if (game && r == WAIT_OBJECT_0) break;
        MSG msg;
        bool quit = false;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) quit = true;
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (quit) break;
    }
    if (game) ::CloseHandle(game);
    return 0;
}

HWND StartFrameHost() {
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    wchar_t cmd[1024];
    swprintf(cmd, 1024, L"\"%ls\" --frame-host %lu --title \"%ls\" --pos %d,%d --size %dx%d", exe,
             ::GetCurrentProcessId(), gOptions.title.c_str(), gOptions.x, gOptions.y, gOptions.width, gOptions.height);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    ::CloseHandle(pi.hThread);
    HWND frame = nullptr;
    for (int i = 0; i < 500 && !frame; ++i) {
        for (HWND w = ::FindWindowExW(nullptr, nullptr, kFrameClass, gOptions.title.c_str()); w;
             w = ::FindWindowExW(nullptr, w, kFrameClass, gOptions.title.c_str())) {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(w, &pid);
            if (pid == pi.dwProcessId) frame = w;
        }
        if (!frame) ::Sleep(10);
    }
    ::CloseHandle(pi.hProcess);
    return frame;
}

void ParseOptions() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const wchar_t* next = i + 1 < argc ? argv[i + 1] : L"";
        if (a == L"--title" && i + 1 < argc) {
            gOptions.title = argv[++i];
        } else if (a == L"--pos" && i + 1 < argc) {
            swscanf(next, L"%d,%d", &gOptions.x, &gOptions.y);
            ++i;
        } else if (a == L"--size" && i + 1 < argc) {
            swscanf(next, L"%dx%d", &gOptions.width, &gOptions.height);
            ++i;
        } else if (a == L"--colour" && i + 1 < argc) {
            const unsigned long rgb = wcstoul(next, nullptr, 16);
            gOptions.colour = RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
            ++i;
        } else if (a == L"--script" && i + 1 < argc) {
            gOptions.script = ParseScript(argv[++i]);
        } else if (a == L"--repeat" && i + 1 < argc) {
            gOptions.repeat = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (a == L"--exit-after" && i + 1 < argc) {
            gOptions.exitAfter = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (a == L"--frame-host" && i + 1 < argc) {
            gOptions.frameHost = true;
            gOptions.gamePid = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (a == L"--info-file" && i + 1 < argc) {
            gOptions.infoFile = argv[++i];
        } else if (a == L"--hidden") {
            gOptions.hidden = true;
        } else if (a == L"--minimized") {
            gOptions.minimized = true;
        } else if (a == L"--uwp") {
            gOptions.uwp = true;
        }
    }
    ::LocalFree(argv);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    ParseOptions();
    if (gOptions.frameHost) return RunFrameHost();

    gBrush = ::CreateSolidBrush(gOptions.colour);
    Register(kGameClass, GameProc, nullptr);
    HWND owner = nullptr;
    DWORD style = WS_OVERLAPPEDWINDOW;
    int x = gOptions.x, y = gOptions.y, width = gOptions.width, height = gOptions.height;
    if (gOptions.uwp) {
        owner = StartFrameHost();
        if (!owner) return 3;
        // The app's content fills the frame below its title bar.
        style = WS_POPUP;
        y += kTitleBarHeight;
        height -= kTitleBarHeight;
    }
    HWND window = ::CreateWindowExW(0, kGameClass, gOptions.title.c_str(), style, x, y, width, height, owner, nullptr,
                                    instance, nullptr);
    if (!window) return 4;
    if (!gOptions.hidden) ::ShowWindow(window, gOptions.minimized ? SW_SHOWMINIMIZED : SW_SHOW);
    ::UpdateWindow(window);
    WriteInfo(window);
    gStart = gRoundStart = ::GetTickCount();
    if (!gOptions.script.empty() || gOptions.exitAfter) ::SetTimer(window, 1, 10, nullptr);
    const int code = Pump();
    ::DeleteObject(gBrush);
    return code;
}
