// Low-level hook benchmark: the time the mouse and keyboard hook procedures take per event on
// their busiest paths (inside the overlay, handed to the controller), against an empty procedure
// that only passes the event on, measured in the same run, and the heap allocations per event. The
// system drops a hook that is slow.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/AllocationCounter.h"
#include "bench/BenchOverlay.h"
#include "core/OOPManager.h"

namespace {

class BenchManager : public BenchOverlay<OOPManager> {
public:
    int GetManagerType() override { return kManagerGep; }
    bool InitD3D() override { return true; }
    void ShutdownD3D() override {}
    bool ResetD3D(uint32_t, uint32_t) override { return true; }
    bool Render() override { return true; }

    bool Follow(QuietController* controller) {
        if (!Attach(controller)) return false;
        for (int i = 0; i < 2000 && minimized_; ++i) {
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
            Update();
        }
        return !minimized_;
    }
};

LRESULT CALLBACK PassOn(int code, WPARAM wParam, LPARAM lParam) { return ::CallNextHookEx(nullptr, code, wParam, lParam); }

double Ticks() {
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart);
}

// Median and 99th percentile of one call, in nanoseconds, over 200 batches of 100 calls.
void Measure(const char* name, HOOKPROC proc, WPARAM message, LPARAM event) {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    std::vector<double> perCall;
    perCall.reserve(200);
    const long long allocations = AllocationCount();
    for (int batch = 0; batch < 200; ++batch) {
        const double start = Ticks();
        for (int i = 0; i < 100; ++i) proc(HC_ACTION, message, event);
        perCall.push_back((Ticks() - start) * 1e9 / static_cast<double>(f.QuadPart) / 100.0);
    }
    const long long allocated = AllocationCount() - allocations;
    std::sort(perCall.begin(), perCall.end());
    std::printf("%-34s median %8.0f ns   p99 %8.0f ns   %.3f heap allocations per event\n", name,
                perCall[perCall.size() / 2], perCall[perCall.size() * 99 / 100], static_cast<double>(allocated) / 20000.0);
}

}  // namespace

int main() {
    HWND game = CreateBenchGame();
    QuietController controller;
    BenchManager manager;
    if (!game || !manager.Follow(&controller)) {
        std::printf("the overlay did not follow the bench window\n");
        return 1;
    }
    RECT overlay{};
    ::GetWindowRect(manager.OverlayWindow(), &overlay);
    MSLLHOOKSTRUCT mouse{};
    mouse.pt = POINT{overlay.left + 40, overlay.top + 40};
    // The cursor must have been showing for half a second before events count as inside.
    OOPHooksManager::MouseHookProc(HC_ACTION, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
    ::Sleep(600);
    KBDLLHOOKSTRUCT key{};
    key.vkCode = 'A';

    Measure("empty procedure (baseline)", &PassOn, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
    Measure("mouse move inside the overlay", &OOPHooksManager::MouseHookProc, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
    mouse.pt = POINT{overlay.left - 100, overlay.top - 100};
    Measure("mouse move outside the overlay", &OOPHooksManager::MouseHookProc, WM_MOUSEMOVE, reinterpret_cast<LPARAM>(&mouse));
    Measure("key press", &OOPHooksManager::KeyboardHookProc, WM_KEYDOWN, reinterpret_cast<LPARAM>(&key));
    std::printf("(the system removes a hook that takes longer than its time-out, 300 ms by default)\n");
    return 0;
}
