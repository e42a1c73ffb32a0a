#pragma once
// What the in-process benchmarks share: a controller that does nothing, a window to stand for the
// game, and an overlay manager set up over it in this process.
#include <windows.h>

#include "core/OOPManager.h"
#include "qm/ClientContract.h"

// A controller that handles nothing and draws nothing, counting the frames it is asked for.
class QuietController : public qm::IOverlayManagerController {
public:
    void SendData(uint32_t, const void*) override {}
    bool Start(qm::GameConfiguration*) override { return true; }
    void Stop() override {}
    bool OnMouseMessage(uint64_t, uint64_t, int64_t, bool*) override { return false; }
    bool OnKeyboardHook(int32_t, uint64_t, KBDLLHOOKSTRUCT*) override { return false; }
    bool OnMouseHook(uint32_t, uint64_t, int64_t) override { return false; }
    void OnClickOutside() override {}
    void Unused7() override {}
    void OnHooksFailed() override {}
    void SetDelegate(qm::IOverlayManagerControllerDelegate*) override {}
    void Unused10() override {}
    bool ReadGameConfiguration(qm::GameConfiguration*) override { return true; }
    bool IsFrameReady() override { return true; }
    void SetGameWindow(HWND) override {}
    void OnWindowModeRestored() override {}
    void OnOverlayActivated() override {}
    void Unused16() override {}
    void RenderOverlay(HWND, IDXGISwapChain*) override { ++frames; }
    long long frames = 0;
};

// A visible top-level window of this process: the game the overlay follows.
inline HWND CreateBenchGame() {
    return ::CreateWindowExW(0, L"STATIC", L"bench game", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 640, 480,
                             nullptr, nullptr, nullptr, nullptr);
}

// Puts `manager` over this process's game window with `controller` in place of a client library and
// the full-screen state marked read (so that placement does not wait for it).
inline bool AttachToBenchGame(OOPManager& manager, QuietController* controller, bool worker) {
    OOPManager::InProcessSetup setup;
    setup.gamePid = ::GetCurrentProcessId();
    setup.controller = controller;
    setup.worker = worker;
    setup.fullScreenStateKnown = true;
    return manager.AttachInProcess(::GetModuleHandleW(nullptr), setup);
}
