// Stall benchmark, with the real host over the sample game: for 60 seconds the game window is
// moved, resized, minimised and restored while a thread of this benchmark sends WM_NULL to the
// overlay window every 5 ms and times the round trip, which stands for the longest gap between two
// passes of the host's main loop. The same thread pings a window of an idle thread of this
// benchmark, whose figures show what the machine itself adds. The game is the foreground window and
// the mouse stays over it. Before that, a host of its own is pinged from its window's creation on,
// through its start and a device lost and made again.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/HostRun.h"

using namespace bench;

namespace {

constexpr DWORD kRunMs = 60000;
constexpr DWORD kStepMs = 40;
constexpr UINT kTimeoutMs = 10000;

// A window whose thread does nothing but wait for messages.
class QuietWindow {
public:
    QuietWindow() {
        thread_ = std::thread([this] {
            HWND w = CreatePlainWindow(L"QMBenchQuiet", L"quiet", 0, WS_POPUP, RECT{0, 0, 10, 10});
            window_ = w;
            ready_ = true;
            MSG msg;
            while (w && ::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
        });
        while (!ready_.load()) ::Sleep(1);
    }
    ~QuietWindow() {
        if (HWND w = window_.load()) ::PostThreadMessageW(::GetWindowThreadProcessId(w, nullptr), WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND Window() const { return window_.load(); }

private:
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> ready_{false};
    std::thread thread_;
};

double Ping(HWND window) {
    const double start = NowMs();
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kTimeoutMs, &result)) return kTimeoutMs;
    return NowMs() - start;
}

// From the overlay window's creation through the host's start and one device re-creation: the
// device is reported removed after kFramesBeforeLoss frames, and the first try to make it again
// fails, so the overlay is without a device for a second. Pinged every 5 ms from the moment the
// window exists; false when the run could not be set up.
bool StartAndRecreation() {
    constexpr int kFramesBeforeLoss = 180;
    constexpr double kWatchMs = 6000;
    FrameCounter frames;
    ::SetEnvironmentVariableW(L"QM_TEST_DEVICE_REMOVED", (std::to_wstring(kFramesBeforeLoss) + L",1").c_str());
    Scene scene;
    const bool started = scene.StartGame(L"--pos 100,100 --size 640x480 --title bench-game") && scene.StartHost(&frames);
    ::SetEnvironmentVariableW(L"QM_TEST_DEVICE_REMOVED", nullptr);
    HWND overlay = nullptr;
    if (!started || !WaitUntil([&] { return (overlay = WindowOf(L"OOPO_WINDOWS_CLASS", scene.Host().Id())) != nullptr; },
                               10000)) {
        std::printf("the host's window did not appear\n");
        return false;
    }
    const double created = NowMs();
    std::vector<double> trips;
    double longestAt = 0, longest = 0;
    double firstFrame = -1, lastFrameBeforeGap = 0, longestGap = 0;
    long long seen = 0;
    double seenAt = created;
    while (NowMs() - created < kWatchMs) {
        const double sent = NowMs() - created;
        trips.push_back(Ping(overlay));
        if (trips.back() > longest) {
            longest = trips.back();
            longestAt = sent;
        }
        const long long n = frames.Frames();
        const double now = NowMs();
        if (n > seen) {
            if (firstFrame < 0) firstFrame = now - created;
            if (seen > 0 && now - seenAt > longestGap) {
                longestGap = now - seenAt;
                lastFrameBeforeGap = seenAt - created;
            }
            seen = n;
            seenAt = now;
        }
        ::Sleep(5);
    }
    scene.StopHost(5000);
    const Spread h = Summarise(trips);
    std::printf("start and device re-creation: %zu round trips over %.0f s from the window's creation; first frame "
                "after %.0f ms; frames stopped at %.0f ms for %.0f ms (the device lost and made again)\n",
                h.count, kWatchMs / 1000, firstFrame, lastFrameBeforeGap, longestGap);
    Note("start and re-creation: median round trip", h.median, "ms");
    std::printf("the longest round trip was sent %.0f ms after the window's creation\n", longestAt);
    Figure("start and re-creation: longest round trip", h.max, "ms", "< 50", h.max < 50);
    if (longestGap < 900) std::printf("the device was not lost and made again as planned\n");
    return true;
}

}  // namespace

// "start": the start and the re-creation alone.
int main(int argc, char** argv) {
    ::SetEnvironmentVariableW(L"QMSAMPLE_DRAW_NOTHING", L"1");
    if (!StartAndRecreation()) return 1;
    if (argc > 1 && std::string(argv[1]) == "start") return 0;
    Scene scene;
    // Every place and size below keeps this point inside the game window.
    if (!scene.OpenOverFocusedGame(POINT{400, 400})) return 1;
    QuietWindow quiet;
    HWND overlay = scene.Overlay(), game = scene.Game();
    std::vector<double> host, machine;
    host.reserve(kRunMs / 5);
    machine.reserve(kRunMs / 5);
    std::atomic<bool> stop{false};
    // The change made last when each round trip began: where a long one comes from.
    static const char* const kChanges[] = {"move", "resize", "minimise", "restore"};
    std::atomic<int> lastChange{0};
    std::vector<int> during;
    during.reserve(kRunMs / 5);
    std::thread pinger([&] {
        while (!stop.load()) {
            during.push_back(lastChange.load());
            host.push_back(Ping(overlay));
            machine.push_back(Ping(quiet.Window()));
            ::Sleep(5);
        }
    });

    // Every 40 ms one change: mostly moves, every fifth a resize; every 5 s the game is minimised,
    // and restored a second later.
    const double start = NowMs();
    int minimised = 0;
    for (int step = 0; NowMs() - start < kRunMs; ++step) {
        const int phase = step % 125;
        lastChange = phase == 0 ? 2 : phase == 25 ? 3 : step % 5 == 4 ? 1 : 0;
        if (phase == 0) {
            ::ShowWindow(game, SW_MINIMIZE);
            ++minimised;
        } else if (phase == 25) {
            ::ShowWindow(game, SW_RESTORE);
        } else if (phase > 25 && step % 5 == 4) {
            ::SetWindowPos(game, nullptr, 0, 0, 560 + (step % 7) * 30, 420 + (step % 5) * 30,
                           SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        } else if (phase > 25) {
            ::SetWindowPos(game, nullptr, 60 + (step % 11) * 25, 40 + (step % 13) * 20, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        ::Sleep(kStepMs);
    }
    stop = true;
    pinger.join();
    const bool alive = scene.Host().Running();

    const Spread h = Summarise(host), m = Summarise(machine);
    int over = 0;
    int overAfter[4] = {};
    for (size_t i = 0; i < host.size(); ++i) {
        if (host[i] < 50) continue;
        ++over;
        ++overAfter[during[i]];
    }
    std::printf("%zu round trips over %lu s with %d minimise/restore cycles; %d of them 50 ms or longer", h.count,
                static_cast<unsigned long>(kRunMs / 1000), minimised, over);
    for (int k = 0; k < 4; ++k) {
        if (overAfter[k]) std::printf(", %d after a %s", overAfter[k], kChanges[k]);
    }
    std::printf("\n");
    Note("idle window of this benchmark: median round trip", m.median, "ms");
    Note("idle window of this benchmark: p99 round trip", m.p99, "ms");
    Note("idle window of this benchmark: longest round trip", m.max, "ms");
    Note("overlay window: median round trip", h.median, "ms");
    Figure("overlay window: p99 round trip", h.p99, "ms", "< 50", h.p99 < 50);
    Figure("overlay window: longest round trip (longest stall)", h.max, "ms", "< 50", h.max < 50);
    if (!alive) std::printf("the host ended during the run\n");
    return alive ? 0 : 1;
}
