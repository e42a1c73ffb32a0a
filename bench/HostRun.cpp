#include "bench/HostRun.h"

#include <algorithm>
#include <cstdio>

#include "tests/support/WindowLookup.h"

namespace bench {

std::wstring Dir() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\'));
}

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / frequency;
}

void Nap(double ms) {
    using DelayFn = LONG(WINAPI*)(BOOLEAN, const LARGE_INTEGER*);
    static const auto delay = reinterpret_cast<DelayFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
    if (!delay) {
        ::Sleep(static_cast<DWORD>(ms + 0.5));
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms * 10000.0);  // relative, in 100 ns units
    delay(FALSE, &interval);
}

bool Process::Start(std::wstring commandLine) {
    End(0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return false;
    }
    process_.Reset(pi.hProcess);
    ::CloseHandle(pi.hThread);
    id_ = pi.dwProcessId;
    return true;
}

void Process::End(DWORD waitMs) {
    if (!process_) return;
    if (::WaitForSingleObject(process_.Get(), waitMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process_.Get(), 1);
        ::WaitForSingleObject(process_.Get(), 5000);
    }
    process_.Reset();
    id_ = 0;
}

HWND WindowOf(const wchar_t* windowClass, DWORD pid) { return test::FindWindowOfProcess(windowClass, pid); }

RECT ClientOnScreen(HWND window) { return test::ClientOnScreen(window); }

HWND CreatePlainWindow(const wchar_t* className, const wchar_t* title, DWORD exStyle, DWORD style, const RECT& at,
                       WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc ? proc : ::DefWindowProcW;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    ::RegisterClassExW(&wc);
    return ::CreateWindowExW(exStyle, className, title, style, at.left, at.top, at.right - at.left, at.bottom - at.top,
                             nullptr, nullptr, wc.hInstance, nullptr);
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

FrameCounter::FrameCounter() {
    static int made = 0;
    name_ = L"qm-bench-frames-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++made);
    mapping_.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64), name_.c_str()));
    if (mapping_) view_ = static_cast<volatile LONG64*>(::MapViewOfFile(mapping_.Get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG64)));
}

FrameCounter::~FrameCounter() {
    if (view_) ::UnmapViewOfFile(const_cast<LONG64*>(view_));
}

bool Scene::StartGame(const std::wstring& gameArguments, bool shown) {
    const std::wstring exe = L"\"" + Dir() + L"\\sample-game.exe\" ";
    if (!gameProcess_.Start(exe + gameArguments)) return false;
    return WaitUntil(
        [&] {
            game_ = WindowOf(L"QMSampleGame", gameProcess_.Id());
            return game_ && (!shown || ::IsWindowVisible(game_));
        },
        10000);
}

bool Scene::StartHost(const FrameCounter* frames) {
    ::SetEnvironmentVariableW(L"QMSAMPLE_FRAME_MAPPING", frames ? frames->Name().c_str() : nullptr);
    const std::wstring dir = Dir();
    if (!client_.Start(L"\"" + dir + L"\\sample-game.exe\" --hidden --title stand-in-client")) return false;
    if (!WaitUntil([&] { return (clientWindow_ = WindowOf(L"QMSampleGame", client_.Id())) != nullptr; }, 10000)) {
        return false;
    }
    overlay_ = nullptr;
    hostStarted_ = NowMs();
    return host_.Start(L"\"" + dir + L"\\qm-overlay.exe\" " + HostMark() + L" --qm-pid=" + std::to_wstring(client_.Id()) +
                       L" --game-process=sample-game.exe \"--qm-client=" + dir + L"\\client\"");
}

std::wstring Scene::HostMark() const { return L"--game-pid=" + std::to_wstring(gameProcess_.Id()); }

bool Scene::Focus(POINT cursor) {
    ::SetForegroundWindow(game_);
    ::SetCursorPos(cursor.x, cursor.y);
    return WaitUntil([&] { return ::GetForegroundWindow() == game_; }, 2000);
}

bool Scene::Covered() const {
    if (!overlay_) overlay_ = WindowOf(L"OOPO_WINDOWS_CLASS", host_.Id());
    if (!overlay_ || !::IsWindowVisible(overlay_)) return false;
    RECT o{};
    ::GetWindowRect(overlay_, &o);
    return SameRect(o, ClientOnScreen(game_));
}

bool Scene::OpenOverFocusedGame(POINT cursor) {
    if (!StartGame(L"--pos 100,100 --size 640x480 --title bench-game")) {
        std::printf("the sample game did not start\n");
        return false;
    }
    if (!Focus(cursor)) std::printf("(the game could not be made the foreground window)\n");
    if (!StartHost() || !WaitCovered(20000)) {
        std::printf("the overlay did not cover the game\n");
        return false;
    }
    return true;
}

bool Scene::WaitCovered(double timeoutMs) {
    return WaitUntil([&] { return Covered(); }, timeoutMs);
}

void Scene::StopHost(DWORD waitMs) {
    if (clientWindow_) ::PostMessageW(clientWindow_, WM_CLOSE, 0, 0);
    clientWindow_ = nullptr;
    host_.End(waitMs);
    client_.End(1000);
    overlay_ = nullptr;
}

Spread Summarise(std::vector<double> values) {
    Spread s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    s.max = values.back();
    return s;
}

void Figure(const char* name, double value, const char* unit, const char* goal, bool ok) {
    std::printf("%-56s %9.2f %-8s goal %-12s %s\n", name, value, unit, goal, ok ? "ok" : "MISS");
    std::fflush(stdout);
}

void Note(const char* name, double value, const char* unit) {
    std::printf("%-56s %9.2f %s\n", name, value, unit);
    std::fflush(stdout);
}

}  // namespace bench
