// Follow benchmark, with the real host over the sample game and the client drawing nothing: how
// soon after the game window is moved, resized, or restored from minimised the overlay is shown
// exactly over the game's client area again, against the simplest follower measured in the same
// run: a window on a thread of this benchmark that reads the game's client rectangle every
// millisecond and moves itself there with one SetWindowPos. Both are watched from the benchmark's
// main thread every half millisecond; each change waits until both match or 1 s passed (then it
// counts as unmatched, and as 1 s in the percentiles). The game is the foreground window and the
// mouse stays over it, as while a player drags it. Each kind of change has a time budget, so that a
// host that lags ends the run early instead of late.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/HostRun.h"

using namespace bench;

namespace {

constexpr double kUnmatchedMs = 1000;
constexpr int kMoves = 200;
constexpr int kResizes = 100;
constexpr int kRestores = 12;
constexpr double kBudgetMs = 30000;

// The simplest follower, at the bottom of the z-order so that the host never places the overlay
// against it.
class Follower {
public:
    explicit Follower(HWND game) : game_(game) {
        thread_ = std::thread([this] { Run(); });
        while (!window_.load() && !failed_.load()) ::Sleep(1);
    }
    ~Follower() {
        stop_ = true;
        thread_.join();
    }
    HWND Window() const { return window_.load(); }

private:
    void Run() {
        HWND w = CreatePlainWindow(L"QMBenchFollower", L"follower", WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW,
                                   WS_POPUP | WS_VISIBLE, RECT{0, 0, 10, 10});
        if (!w) {
            failed_ = true;
            return;
        }
        ::SetWindowPos(w, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        window_ = w;
        while (!stop_.load()) {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
            const RECT target = ClientOnScreen(game_);
            RECT mine{};
            ::GetWindowRect(w, &mine);
            if (!SameRect(target, mine)) {
                ::SetWindowPos(w, nullptr, target.left, target.top, target.right - target.left, target.bottom - target.top,
                               SWP_NOZORDER | SWP_NOACTIVATE);
            }
        }
        ::DestroyWindow(w);
    }

    HWND game_;
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Times since `start` until the overlay and the follower lay over `target`; negative when not
// within kUnmatchedMs.
struct Times {
    double overlay = -1, follower = -1;
};

Times Watch(const Scene& scene, HWND follower, const RECT& target, double start) {
    Times t;
    for (;;) {
        const double now = NowMs() - start;
        if (t.overlay < 0) {
            RECT o{};
            if (::IsWindowVisible(scene.Overlay()) && ::GetWindowRect(scene.Overlay(), &o) && SameRect(o, target)) t.overlay = now;
        }
        if (t.follower < 0) {
            RECT f{};
            if (::GetWindowRect(follower, &f) && SameRect(f, target)) t.follower = now;
        }
        if ((t.overlay >= 0 && t.follower >= 0) || now > kUnmatchedMs) return t;
        Nap(0.5);
    }
}

struct Series {
    std::vector<double> overlay, follower;
    int unmatched = 0;
    int followerUnmatched = 0;
    void Add(const Times& t) {
        overlay.push_back(t.overlay >= 0 ? t.overlay : kUnmatchedMs);
        follower.push_back(t.follower >= 0 ? t.follower : kUnmatchedMs);
        unmatched += t.overlay < 0 ? 1 : 0;
        followerUnmatched += t.follower < 0 ? 1 : 0;
    }
    void Print(const char* what, int planned) const {
        const Spread o = Summarise(overlay), f = Summarise(follower);
        std::printf("%s (%zu of %d within the time budget): overlay median %.2f ms, p99 %.2f ms, max %.2f ms; "
                    "follower median %.2f ms, p99 %.2f ms, max %.2f ms (%d unmatched)\n",
                    what, overlay.size(), planned, o.median, o.p99, o.max, f.median, f.p99, f.max, followerUnmatched);
    }
};

// Deterministic spread of places and sizes.
unsigned Next(unsigned& seed) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
}

}  // namespace

int main() {
    ::SetEnvironmentVariableW(L"QMSAMPLE_DRAW_NOTHING", L"1");
    Scene scene;
    // Every place a move picks keeps this point inside the game window.
    if (!scene.OpenOverFocusedGame(POINT{600, 480})) return 1;
    HWND game = scene.Game();
    Follower follower(game);
    if (!follower.Window() || !WaitUntil([&] {
            RECT f{};
            return ::GetWindowRect(follower.Window(), &f) && SameRect(f, ClientOnScreen(game));
        }, 5000)) {
        std::printf("the follower did not follow the game\n");
        return 1;
    }
    // The host may have taken the foreground while it started (the start-up benchmark tells).
    if (!scene.Focus(POINT{600, 480})) std::printf("(the game could not be made the foreground window again)\n");
    ::Sleep(500);

    unsigned seed = 7;
    Series moves, resizes, restores;
    RECT place{};
    double began = NowMs();
    for (int i = 0; i < kMoves && NowMs() - began < kBudgetMs; ++i) {
        ::GetWindowRect(game, &place);
        int x = 50 + static_cast<int>(Next(seed) % 500);
        const int y = 50 + static_cast<int>(Next(seed) % 400);
        if (x == place.left && y == place.top) x = 50 + (x + 37) % 500;
        const double start = NowMs();
        ::SetWindowPos(game, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        moves.Add(Watch(scene, follower.Window(), ClientOnScreen(game), start));
        ::Sleep(10 + (i % 4) * 5);
    }
    ::SetWindowPos(game, nullptr, 100, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Watch(scene, follower.Window(), ClientOnScreen(game), NowMs());
    ::SetCursorPos(200, 200);
    began = NowMs();
    for (int i = 0; i < kResizes && NowMs() - began < kBudgetMs; ++i) {
        const int width = 400 + static_cast<int>(Next(seed) % 400), height = 300 + static_cast<int>(Next(seed) % 300);
        const double start = NowMs();
        ::SetWindowPos(game, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        resizes.Add(Watch(scene, follower.Window(), ClientOnScreen(game), start));
        ::Sleep(10 + (i % 4) * 5);
    }
    std::vector<double> hidden;
    int neverHidden = 0;
    began = NowMs();
    for (int i = 0; i < kRestores && NowMs() - began < kBudgetMs; ++i) {
        const RECT before = ClientOnScreen(game);
        double start = NowMs();
        ::ShowWindow(game, SW_MINIMIZE);
        if (WaitUntil([&] { return !::IsWindowVisible(scene.Overlay()); }, kUnmatchedMs)) {
            hidden.push_back(NowMs() - start);
        } else {
            ++neverHidden;
        }
        ::Sleep(100);
        start = NowMs();
        ::ShowWindow(game, SW_RESTORE);
        const RECT target = ClientOnScreen(game);
        if (!SameRect(target, before)) std::printf("the game came back elsewhere after restore %d\n", i);
        restores.Add(Watch(scene, follower.Window(), target, start));
        ::Sleep(200);
    }

    moves.Print("moves", kMoves);
    const Spread mo = Summarise(moves.overlay), mf = Summarise(moves.follower);
    if (mf.median > 0 && mf.p99 > 0) {
        Figure("moves: overlay median / follower median", mo.median / mf.median, "x", "<= 1.50", mo.median / mf.median <= 1.5);
        Figure("moves: overlay p99 / follower p99", mo.p99 / mf.p99, "x", "<= 2.00", mo.p99 / mf.p99 <= 2.0);
    }
    Figure("moves the overlay did not match within 1 s", moves.unmatched, "", "0", moves.unmatched == 0);

    resizes.Print("resizes", kResizes);
    restores.Print("restores", kRestores);
    const Spread hide = Summarise(hidden);
    std::printf("minimise: overlay hidden after median %.2f ms, max %.2f ms (%d never)\n", hide.median, hide.max, neverHidden);
    std::vector<double> both = resizes.overlay;
    both.insert(both.end(), restores.overlay.begin(), restores.overlay.end());
    const Spread b = Summarise(both);
    Figure("resizes and restores: overlay p99", b.p99, "ms", "< 100", b.p99 < 100);
    Figure("resizes and restores the overlay did not match within 1 s", resizes.unmatched + restores.unmatched, "", "0",
           resizes.unmatched + restores.unmatched == 0);
    Figure("minimises after which the overlay stayed shown (1 s)", neverHidden, "", "0", neverHidden == 0);
    return 0;
}
