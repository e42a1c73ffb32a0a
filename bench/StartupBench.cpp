// Start-up benchmark, with the real host over the sample game: the game is the foreground window,
// the mouse is over it, and a top-most window of another application lies over part of it. From the
// host's process start until the overlay is shown exactly over the game's client area and the
// client has drawn its first frame; then, a second later, whether the overlay sits directly below
// the other application's window and above the game, and whether the game is still the foreground
// window. Three starts, each with a new host.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "bench/HostRun.h"

using namespace bench;

namespace {

constexpr int kStarts = 3;

// Position of each window from the top of the z-order among the shown top-level windows; -1 when
// it is not there.
std::vector<int> Order(const std::vector<HWND>& windows, std::vector<HWND>* between) {
    std::vector<int> at(windows.size(), -1);
    int index = 0;
    for (HWND w = ::GetTopWindow(nullptr); w; w = ::GetWindow(w, GW_HWNDNEXT)) {
        if (!::IsWindowVisible(w)) continue;
        for (size_t i = 0; i < windows.size(); ++i) {
            if (w == windows[i]) at[i] = index;
        }
        if (between) between->push_back(w);
        ++index;
    }
    return at;
}

}  // namespace

int main() {
    Scene scene;
    if (!scene.StartGame(L"--pos 100,100 --size 640x480 --title bench-game")) {
        std::printf("the sample game did not start\n");
        return 1;
    }
    // The other application: top-most, over the game's lower right part.
    Process otherApp(L"\"" + Dir() + L"\\sample-game.exe\" --pos 500,350 --size 400x300 --colour 806020 --title other-app");
    HWND other = nullptr;
    if (!WaitUntil([&] { return (other = WindowOf(L"QMSampleGame", otherApp.Id())) != nullptr && ::IsWindowVisible(other); },
                   10000)) {
        std::printf("the other application did not start\n");
        return 1;
    }
    ::SetWindowPos(other, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    HWND game = scene.Game();

    std::vector<double> times;
    int wrongOrder = 0, lostForeground = 0, notReady = 0;
    for (int run = 0; run < kStarts; ++run) {
        if (!scene.Focus(POINT{250, 250})) ++notReady;
        FrameCounter frames;
        if (!scene.StartHost(&frames) ||
            !WaitUntil([&] { return scene.Covered() && frames.Frames() > 0; }, 20000)) {
            std::printf("start %d: the overlay did not render over the game\n", run + 1);
            scene.StopHost(5000);
            return 1;
        }
        times.push_back(NowMs() - scene.HostStartedMs());
        ::Sleep(1000);
        std::vector<HWND> shown;
        const std::vector<int> at = Order({other, scene.Overlay(), game}, &shown);
        const bool directlyBelow = at[0] >= 0 && at[1] == at[0] + 1;
        const bool aboveGame = at[1] >= 0 && at[2] > at[1];
        HWND front = ::GetForegroundWindow();
        const bool foreground = front == game;
        const char* frontName = foreground ? "the game" : front == scene.Overlay() ? "the overlay" : front == other ? "the other application"
                                                                                                      : front ? "another window" : "none";
        std::printf("start %d: %.0f ms; z-order of other application, overlay, game among shown windows: %d, %d, %d; "
                    "foreground: %s\n",
                    run + 1, times.back(), at[0], at[1], at[2], frontName);
        if (!directlyBelow || !aboveGame) ++wrongOrder;
        if (!foreground) ++lostForeground;
        scene.StopHost(5000);
    }
    if (notReady) std::printf("(%d starts began without the game in the foreground)\n", notReady);
    const Spread s = Summarise(times);
    Note("start-up to first render over the game: median", s.median, "ms");
    Figure("start-up to first render over the game: slowest", s.max, "ms", "< 1000", s.max < 1000);
    Figure("starts with the overlay not directly below the other app", wrongOrder, "", "0", wrongOrder == 0);
    Figure("starts after which the game was not the foreground", lostForeground, "", "0", lostForeground == 0);
    return 0;
}
