#pragma once
#include <windows.h>

#include "qm/ClientContract.h"

namespace test {

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

}  // namespace test
