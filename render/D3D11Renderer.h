#pragma once
#include <windows.h>

#include <d3d11.h>
#include <dcomp.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <atomic>

#include "core/FramePacer.h"
#include "core/Renderer.h"
#include "render/D3D11Backend.h"
#include "render/D3D11Cursor.h"
#include "render/DeviceThread.h"
#include "render/LayeredPresenter.h"

// Draws the overlay with Direct3D 11: a composition swap chain when it can; else a regular one on a
// window of its own that is never shown, whose frames go to the overlay as a per-pixel-alpha layered
// window; a regular one over the overlay only when that fails. The device, its swap chain and its
// first frame are made on the device thread, at the start and at every re-creation; the window's
// thread meanwhile keeps answering and touches none of it.
class D3D11Renderer : public Renderer {
public:
    enum class Presentation { kComposition, kLayered, kSwapChain };

    // QM_PRESENTATION=layered or swap-chain starts the choice there (benchmarks and tests).
    // Presents and the display's refresh rate are reported to `pacer`.
    explicit D3D11Renderer(FramePacer& pacer);
    ~D3D11Renderer() override;

    bool Create(const RenderTarget& target) override;
    void Release() override;
    bool Resize(uint32_t width, uint32_t height, bool again) override;
    bool RenderAndPresent(const FrameInput& frame) override;
    bool Suspended() const override { return suspended_; }
    bool FirstFrameRendered() const override { return firstFrameRendered_; }
    bool AdapterChanged(HMONITOR gameMonitor) override;
    bool UsesComposition() const override { return presentation_ == Presentation::kComposition; }
    void WindowShown() override { layered_.WindowShown(); }
    RenderEvents TakeEvents() override;
    Presentation Mode() const { return presentation_; }
    // "composition", "layered" or "swap chain".
    static const wchar_t* ModeName(Presentation mode);
    // The first choice the environment asks for.
    static Presentation FirstChoice();

    // The adapter for the game's monitor; null for the system's default.
    Microsoft::WRL::ComPtr<IDXGIAdapter1> AdapterForGame(HMONITOR gameMonitor);
    bool CursorRenderingReady() const { return cursor_.Ready(); }
    // Draws `image` at the mouse position; true when it was drawn. A change of picture reported by
    // a frame since the last draw is taken up here.
    bool RenderCursor(const CursorImage* image);
    IDXGISwapChain* SwapChain() const { return swapChain_.Get(); }
    ID3D11Device* Device() const { return device_.Get(); }
    ID3D11DeviceContext* Context() const { return context_.Get(); }

private:
    // What the device thread does: everything Create makes, then a first frame that the window
    // never shows, so that the system's own set-up of presenting is done there too.
    bool Build(HMONITOR gameMonitor);
    bool BuildComposition();
    bool BuildSwapChain(HWND window);
    // On the window's thread, once the device thread has built: the overlay window as the mode
    // wants it. False when the layered window was refused.
    bool AttachWindow();
    void WarmUp();
    void ReleaseObjects();
    bool CreateRenderTarget(uint32_t width, uint32_t height);
    void ReadRefreshRate();
    bool DeviceLost();
    // After device removal or a failed re-initialisation: device and swap chain made again, tried
    // at once and then once a second, logging one row when a run of losses starts and one when it
    // ends. The device thread makes them while the window's passes go on.
    bool RecreateDevice(uint32_t width, uint32_t height);

    void DelayNextPass(int64_t microseconds) { events_.delayUs = microseconds; }

    FramePacer& pacer_;
    // Given at Create.
    HWND window_ = nullptr;
    // The game's monitor as last given, for a device made again and its refresh rate.
    HMONITOR monitor_ = nullptr;
    // The cursor picture's version as last given, and as last drawn.
    uint32_t cursorVersion_ = 0;
    uint32_t drawnCursorVersion_ = 0;
    RenderEvents events_;
    DeviceThread deviceThread_;
    // Create is waiting for the device thread: what the window's messages ask meanwhile waits.
    bool creating_ = false;
    std::atomic<bool> built_{false};
    Presentation firstChoice_;
    Presentation presentation_ = Presentation::kSwapChain;
    // The layered mode's swap chain draws into this window, never shown; the frames go to the overlay.
    HWND framesWindow_ = nullptr;
    LayeredPresenter layered_;
    bool suspended_ = false;
    bool firstFrameRendered_ = false;
    // The size of the last resize that succeeded (0 before the first).
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    HRESULT lostReason_ = S_OK;
    int64_t nextRecreateUs_ = 0;
    int recreateTries_ = 0;
    Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter_;
    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain_;
    Microsoft::WRL::ComPtr<ID3D11Device> device_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<ID3D11RenderTargetView> renderTarget_;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> backBuffer_;
    Microsoft::WRL::ComPtr<IDXGIFactory2> factory_;
    CompositionObjects compositionObjects_;
    D3D11Cursor cursor_;
};
