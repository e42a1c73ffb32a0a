// Host benchmarks, with the real qm-overlay.exe, the sample game and the reference client:
//   follow latency: the game window is moved or resized 200 times; the time until the overlay's
//     rectangle equals the game's client rectangle (median, 99th percentile);
//   cost per frame: the host's CPU time divided by the frames it asked the client to draw, with the
//     client drawing nothing;
//   idle cost: the host's CPU use while it waits for a game window that does not exist;
//   start-up: from process creation to the overlay's first frame on the screen.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring Dir() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\'));
}

struct Process {
    PROCESS_INFORMATION pi{};
    explicit Process(std::wstring line) {
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) pi = {};
    }
    ~Process() {
        if (!pi.hProcess) return;
        if (::WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) ::TerminateProcess(pi.hProcess, 1);
        ::CloseHandle(pi.hProcess);
        ::CloseHandle(pi.hThread);
    }
    double CpuSeconds() const {
        FILETIME c, e, k, u;
        ::GetProcessTimes(pi.hProcess, &c, &e, &k, &u);
        const auto v = [](FILETIME f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
        return static_cast<double>(v(k) + v(u)) / 1e7;
    }
};

HWND WindowOf(const wchar_t* cls, DWORD pid) {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, cls, nullptr); w; w = ::FindWindowExW(nullptr, w, cls, nullptr)) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(w, &owner);
        if (owner == pid) return w;
    }
    return nullptr;
}

template <typename F>
bool WaitFor(F done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) return false;
        ::Sleep(0);
    }
    return true;
}

RECT ClientOnScreen(HWND w) {
    RECT r{};
    ::GetClientRect(w, &r);
    POINT a{r.left, r.top}, b{r.right, r.bottom};
    ::ClientToScreen(w, &a);
    ::ClientToScreen(w, &b);
    return RECT{a.x, a.y, b.x, b.y};
}

bool Same(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

double Ms(LARGE_INTEGER a, LARGE_INTEGER b) {
    static LARGE_INTEGER f = [] {
        LARGE_INTEGER q;
        ::QueryPerformanceFrequency(&q);
        return q;
    }();
    return static_cast<double>(b.QuadPart - a.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

std::wstring HostLine(const std::wstring& dir, DWORD gamePid, DWORD clientPid) {
    return L"\"" + dir + L"\\qm-overlay.exe\" --game-pid=" + std::to_wstring(gamePid) + L" --qm-pid=" +
           std::to_wstring(clientPid) + L" --game-process=sample-game.exe \"--qm-client=" + dir + L"\\client\"";
}

}  // namespace

int main() {
    const std::wstring dir = Dir();
    const std::wstring frames = dir + L"\\host-bench-frames.txt";
    ::SetEnvironmentVariableW(L"QMSAMPLE_DRAW_NOTHING", L"1");
    ::SetEnvironmentVariableW(L"QMSAMPLE_FRAME_COUNT", frames.c_str());

    // Idle: the game process has no window the host could follow.
    {
        Process noGame(L"\"" + dir + L"\\sample-game.exe\" --hidden --title no-game");
        Process client(L"\"" + dir + L"\\sample-game.exe\" --hidden --title stand-in-client");
        Process host(HostLine(dir, noGame.pi.dwProcessId, client.pi.dwProcessId));
        ::Sleep(2000);
        const double before = host.CpuSeconds();
        ::Sleep(5000);
        std::printf("idle cost (no game window):       %.2f %% of one core\n", (host.CpuSeconds() - before) / 5.0 * 100.0);
    }

    Process game(L"\"" + dir + L"\\sample-game.exe\" --pos 100,100 --size 640x480 --title bench-game");
    Process client(L"\"" + dir + L"\\sample-game.exe\" --hidden --title stand-in-client");
    HWND gameWindow = nullptr;
    WaitFor([&] { return (gameWindow = WindowOf(L"QMSampleGame", game.pi.dwProcessId)) != nullptr; }, 10000);
    HWND clientWindow = nullptr;
    WaitFor([&] { return (clientWindow = WindowOf(L"QMSampleGame", client.pi.dwProcessId)) != nullptr; }, 10000);

    LARGE_INTEGER started;
    ::QueryPerformanceCounter(&started);
    Process host(HostLine(dir, game.pi.dwProcessId, client.pi.dwProcessId));
    HWND overlay = nullptr;
    const auto over = [&] {
        if (!overlay) overlay = WindowOf(L"OOPO_WINDOWS_CLASS", host.pi.dwProcessId);
        if (!overlay || !::IsWindowVisible(overlay)) return false;
        RECT o{};
        ::GetWindowRect(overlay, &o);
        return Same(o, ClientOnScreen(gameWindow));
    };
    if (!WaitFor(over, 20000)) {
        std::printf("the overlay did not cover the game\n");
        return 1;
    }
    LARGE_INTEGER shown;
    ::QueryPerformanceCounter(&shown);
    std::printf("start-up (process start to overlay shown over the game): %.0f ms\n", Ms(started, shown));

    // Even steps move the game, odd steps resize it.
    std::vector<double> latency, moves, resizes;
    RECT place{};
    ::GetWindowRect(gameWindow, &place);
    for (int i = 0; i < 200; ++i) {
        if (i % 2 == 0) {
            const LONG width = place.right - place.left, height = place.bottom - place.top;
            place.left = 100 + (i % 7) * 20;
            place.top = 100 + (i % 5) * 15;
            place.right = place.left + width;
            place.bottom = place.top + height;
        } else {
            place.right = place.left + 640 + (i % 4) * 20;
            place.bottom = place.top + 480 + (i % 3) * 20;
        }
        LARGE_INTEGER a, b;
        ::QueryPerformanceCounter(&a);
        ::SetWindowPos(gameWindow, nullptr, place.left, place.top, place.right - place.left, place.bottom - place.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
        ::GetWindowRect(gameWindow, &place);
        if (!WaitFor(over, 5000)) continue;
        ::QueryPerformanceCounter(&b);
        latency.push_back(Ms(a, b));
        (i % 2 == 0 ? moves : resizes).push_back(Ms(a, b));
    }
    const auto report = [](const char* name, std::vector<double>& v) {
        if (v.empty()) return;
        std::sort(v.begin(), v.end());
        std::printf("follow latency, %-14s (%3zu): median %5.1f ms, p99 %5.1f ms (one frame: 16.7 ms)\n", name, v.size(),
                    v[v.size() / 2], v[v.size() * 99 / 100]);
    };
    report("moves+resizes", latency);
    report("moves", moves);
    report("resizes", resizes);

    ::Sleep(3000);  // frames with nothing changing
    ::PostMessageW(clientWindow, WM_CLOSE, 0, 0);
    ::WaitForSingleObject(host.pi.hProcess, 10000);
    const double cpu = host.CpuSeconds();
    unsigned long long frameCount = 0;
    if (FILE* f = _wfopen(frames.c_str(), L"r")) {
        if (std::fscanf(f, "%llu", &frameCount) != 1) frameCount = 0;
        std::fclose(f);
    }
    ::DeleteFileW(frames.c_str());
    if (frameCount > 0) {
        std::printf("host cost per frame (whole run, client drawing nothing): %.0f us CPU over %llu frames\n",
                    cpu * 1e6 / static_cast<double>(frameCount), frameCount);
    }
    return 0;
}
