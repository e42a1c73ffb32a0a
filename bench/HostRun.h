#pragma once
// What the benchmarks that drive the real host share: the sample game, a stand-in client process,
// the host itself, their windows, the client's frame counter, and how figures are printed.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "common/UniqueHandle.h"

namespace bench {

// The folder of the running benchmark, where the host and the samples are built.
std::wstring Dir();
// A steady clock in milliseconds.
double NowMs();
// Sleeps for `ms`, finer than Sleep's whole milliseconds where the system allows it.
void Nap(double ms);

// A started program; ended at destruction if it still runs.
class Process {
public:
    Process() = default;
    explicit Process(std::wstring commandLine) { Start(std::move(commandLine)); }
    ~Process() { End(0); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Start(std::wstring commandLine);
    // Waits up to `waitMs` for the program to end by itself, then terminates it.
    void End(DWORD waitMs);
    bool Running() const { return process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT; }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.Get(); }

private:
    base::UniqueHandle process_;
    DWORD id_ = 0;
};

HWND WindowOf(const wchar_t* windowClass, DWORD pid);
// The client area of `window` in screen coordinates.
RECT ClientOnScreen(HWND window);
// A window of a class of its own (registered once, `proc` or the default procedure) on this thread.
HWND CreatePlainWindow(const wchar_t* className, const wchar_t* title, DWORD exStyle, DWORD style, const RECT& at,
                       WNDPROC proc = nullptr);
bool SameRect(const RECT& a, const RECT& b);

// Polls `done` every millisecond until it holds or `timeoutMs` passed.
template <typename F>
bool WaitUntil(F done, double timeoutMs) {
    const double start = NowMs();
    while (!done()) {
        if (NowMs() - start > timeoutMs) return false;
        ::Sleep(1);
    }
    return true;
}

// A frame counter that another process keeps in a named mapping that this creates: the sample
// client (QMSAMPLE_FRAME_MAPPING) or the bare loop (--frames).
class FrameCounter {
public:
    FrameCounter();
    ~FrameCounter();
    FrameCounter(const FrameCounter&) = delete;
    FrameCounter& operator=(const FrameCounter&) = delete;
    long long Frames() const { return view_ ? static_cast<long long>(::InterlockedCompareExchange64(view_, 0, 0)) : -1; }
    const std::wstring& Name() const { return name_; }

private:
    std::wstring name_;
    base::UniqueHandle mapping_;
    volatile LONG64* view_ = nullptr;
};

// The sample game, a hidden stand-in for the client process (the host runs until it ends), and the
// host over them with the sample client library.
class Scene {
public:
    // `gameArguments` go to the sample game (position, size, title); unless `shown` is false, its
    // window must be shown.
    bool StartGame(const std::wstring& gameArguments, bool shown = true);
    // Starts the host (and a new stand-in client) with the environment of this process, and the
    // sample client counting its frames in `frames` when given.
    bool StartHost(const FrameCounter* frames = nullptr);
    // Makes the game the foreground window with the mouse at `cursor`, as while a player uses it.
    bool Focus(POINT cursor);
    // Waits until the overlay is shown exactly over the game's client area.
    bool WaitCovered(double timeoutMs);
    bool Covered() const;
    // The usual start of a run: the game at 100,100 and 640 x 480 in front with the mouse at
    // `cursor`, and the host over it; false after saying what failed.
    bool OpenOverFocusedGame(POINT cursor);
    // Ends the stand-in client and so the host, which has `waitMs` to stop by itself.
    void StopHost(DWORD waitMs);

    HWND Game() const { return game_; }
    HWND Overlay() const { return overlay_; }
    DWORD GamePid() const { return gameProcess_.Id(); }
    const Process& Host() const { return host_; }
    // What only this run's host has on its command line.
    std::wstring HostMark() const;
    double HostStartedMs() const { return hostStarted_; }

private:
    Process gameProcess_;
    Process client_;
    Process host_;
    HWND game_ = nullptr;
    HWND clientWindow_ = nullptr;
    mutable HWND overlay_ = nullptr;
    double hostStarted_ = 0;
};

// Median, 99th percentile and largest of a sample.
struct Spread {
    size_t count = 0;
    double median = 0, p99 = 0, max = 0;
};
Spread Summarise(std::vector<double> values);

// One printed figure: name, value and unit, then the goal and "ok" or "MISS".
void Figure(const char* name, double value, const char* unit, const char* goal, bool ok);
// A figure printed for reference, without a goal.
void Note(const char* name, double value, const char* unit);

}  // namespace bench
