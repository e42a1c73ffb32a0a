// Frame benchmark, in process with Wine's Direct3D 11: the CPU time of one frame of the update step
// with a controller that draws nothing, driven as the main loop drives it (waiting for the next
// pass or a message), behind the Direct3D 11 gate, and in exclusive mode with the overlay drawing the cursor (sync interval 0); and the
// heap allocations the passes make once the first frames have sized everything.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "bench/AllocationCounter.h"
#include "bench/BenchOverlay.h"
#include "common/MessageWait.h"
#include "core/FrameStatistics.h"
#include "tests/support/RenderTestSupport.h"
#include "render/D3D11OOPManager.h"

namespace {

// Exclusive mode with the system cursor hidden: every frame draws the cursor picture. The cursor
// is drawn on the composition path only, which Wine lacks: the renderer is made again over a
// stand-in that gives it one.
bool DrawCursor(D3D11OOPManager& m, test::StandInBackend& backend) {
    backend.composition = true;
    FrameLoop& frames = m.Parts().frames;
    frames.Release();
    RenderTarget target;
    target.window = m.Parts().facts.overlay.load();
    if (!frames.Create(target) || !frames.Resize(frames.Width(), frames.Height(), true)) return false;
    m.Parts().session.SetCursorType(0, ::LoadCursorW(nullptr, IDC_ARROW));
    OOPHooksManager::RememberMousePosition(POINT{120, 80});
    m.Parts().input.SetClickThrough(false, false, nullptr);
    while (::ShowCursor(FALSE) >= 0) {
    }
    CURSORINFO info{};
    info.cbSize = sizeof(info);
    return ::GetCursorInfo(&info) && (info.flags & CURSOR_SHOWING) == 0;
}

double CpuSeconds() {
    FILETIME c, e, k, u;
    ::GetProcessTimes(::GetCurrentProcess(), &c, &e, &k, &u);
    const auto v = [](FILETIME f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return static_cast<double>(v(k) + v(u)) / 1e7;
}

double Run(D3D11OOPManager& m, test::QuietController& controller, const char* name) {
    // Warm-up: first frames create the render target views and the worker's first task.
    for (int i = 0; i < 30; ++i) m.Update();
    const long long frames = controller.frames;
    const long long allocations = AllocationCount();
    const double cpu = CpuSeconds();
    base::MessageWaiter waiter;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < 4000) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        const int64_t now = base::NowMicroseconds();
        if (now < m.Parts().frames.Pacer().NextPassDue()) {
            waiter.Wait(m.Parts().frames.Pacer().NextPassDue());
        } else {
            m.Update();
        }
    }
    const long long n = controller.frames - frames;
    const double used = CpuSeconds() - cpu;
    const long long allocated = AllocationCount() - allocations;
    std::printf("%-28s %6lld frames in 4 s, %7.0f us CPU per frame, %5.1f %% of one core, "
                "%lld heap allocations (%.3f per frame)\n",
                name, n, n ? used * 1e6 / static_cast<double>(n) : 0.0, used / 4.0 * 100.0, allocated,
                n ? static_cast<double>(allocated) / static_cast<double>(n) : 0.0);
    return n ? used * 1e6 / static_cast<double>(n) : 0.0;
}

// What the frame statistics add to a frame: a million frames counted, against the CPU of one frame.
void StatisticsCost(double frameCpuUs) {
    constexpr int kFrames = 1000000;
    auto statistics = std::make_unique<FrameStatistics>();
    const long long allocations = AllocationCount();
    const int64_t start = base::NowMicroseconds();
    int64_t t = 1;
    for (int i = 0; i < kFrames; ++i) {
        t += 11111 + (i % 7) * 1000;
        statistics->FramePresented(t);
    }
    const double perFrameUs = static_cast<double>(base::NowMicroseconds() - start) / kFrames;
    const long long allocated = AllocationCount() - allocations;
    const double share = frameCpuUs > 0 ? perFrameUs / frameCpuUs * 100.0 : 0.0;
    std::printf("%-28s %7.1f ns per frame, %lld heap allocations, %.3f %% of a frame's CPU   goal < 1 %%  %s\n",
                "frame statistics", perFrameUs * 1000.0, allocated, share, share < 1.0 && allocated == 0 ? "ok" : "MISS");
}

}  // namespace

int main() {
    HWND game = CreateBenchGame();
    test::QuietController controller;
    test::StandInBackend backend;  // the system's own until the cursor run
    D3D11OOPManager m;
    if (!game || !AttachToBenchGame(m, &controller, true) || !m.Parts().frames.Create(RenderTarget{m.Parts().facts.overlay.load(), nullptr, 0, 0})) {
        std::printf("no overlay to render\n");
        return 1;
    }
    const double frameCpuUs = Run(m, controller, "Direct3D 11 gate");
    StatisticsCost(frameCpuUs);
    if (DrawCursor(m, backend)) {
        Run(m, controller, "cursor drawn (sync 0)");
    } else {
        std::printf("the cursor path could not be set up\n");
    }
    return 0;
}
