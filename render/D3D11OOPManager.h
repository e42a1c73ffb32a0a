#pragma once
#include <windows.h>

#include <d3d11.h>
#include <dcomp.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include "core/OOPManager.h"

// The few system entry points the renderer needs, replaceable so that the composition path and
// unusual adapters can be driven where the system lacks them.
struct D3D11System {
    decltype(&::D3D11CreateDevice) createDevice = &::D3D11CreateDevice;
    decltype(&::D3D11CreateDeviceAndSwapChain) createDeviceAndSwapChain = &::D3D11CreateDeviceAndSwapChain;
    decltype(&::CreateDXGIFactory1) createFactory = &::CreateDXGIFactory1;
    // Gives DCompositionCreateDevice, loading the composition library once; null when missing.
    using CreateCompositionDevice = HRESULT(WINAPI*)(IDXGIDevice*, REFIID, void**);
    CreateCompositionDevice (*compositionEntry)() = nullptr;

    static const D3D11System& Current();
    static void Set(const D3D11System* system);  // null restores the system's own
};

// Renders the overlay with Direct3D 11: a composition swap chain when it can, a regular one else.
class D3D11OOPManager : public OOPManager {
public:
    D3D11OOPManager() = default;
    ~D3D11OOPManager() override;

    int GetManagerType() override { return kManagerD3D11; }
    bool InitD3D() override;
    void ShutdownD3D() override;
    bool ResetD3D(uint32_t width, uint32_t height) override;
    bool Render() override;
    bool IsAdapterChanged() override;
    uint32_t GetWindowExStyle() override { return composition_ ? WS_EX_NOREDIRECTIONBITMAP : 0; }
    bool ShouldRenderFrame() override;
    uint32_t GetTargetFrameRate() override { return 90; }

    Microsoft::WRL::ComPtr<IDXGIAdapter1> GetAdapter();
    bool InitD3DDComp();
    bool CreateRenderTarget(uint32_t width, uint32_t height);
    // The cursor's shaders, buffers and states (set up at the end of the composition path).
    bool InitCursorRendering();
    // Draws the current cursor picture at the mouse position; true when it was drawn.
    bool RenderCursor();
    bool CursorRenderingReady() const { return cursorReady_; }

    // Frames are capped at the display's refresh rate while Present waits for the vertical blank
    // (never below the target rate), and at the target rate where it does not: sync interval 0
    // while the cursor is drawn, or systems whose Present returns at once.
    int64_t PresentIntervalMicroseconds();
    bool PresentWaitsForVBlank() const { return presentWaits_; }

    bool UsesComposition() const { return composition_; }
    IDXGISwapChain* SwapChain() const { return swapChain_.Get(); }
    ID3D11Device* Device() const { return device_.Get(); }
    ID3D11DeviceContext* Context() const { return context_.Get(); }

protected:
    void ReadRefreshRate();
    void MeasurePresent(int64_t microseconds);

    uint32_t refreshRate_ = 60;
    bool presentWaits_ = true;
    bool lastPresentSynced_ = true;
    int64_t nextFrameDueUs_ = 0;
    int64_t presentTimeSumUs_ = 0;
    int presentSamples_ = 0;
    bool composition_ = false;
    bool cursorReady_ = false;
    Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter_;
    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain_;
    Microsoft::WRL::ComPtr<ID3D11Device> device_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<ID3D11RenderTargetView> renderTarget_;
    Microsoft::WRL::ComPtr<IDXGIFactory2> factory_;
    Microsoft::WRL::ComPtr<IDCompositionDevice> compositionDevice_;
    Microsoft::WRL::ComPtr<IDCompositionTarget> compositionTarget_;
    Microsoft::WRL::ComPtr<IDCompositionVisual> compositionVisual_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> cursorVertices_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> cursorIndices_;
    Microsoft::WRL::ComPtr<ID3D11Buffer> cursorConstants_;
    Microsoft::WRL::ComPtr<ID3D11VertexShader> cursorVertexShader_;
    Microsoft::WRL::ComPtr<ID3D11PixelShader> cursorPixelShader_;
    Microsoft::WRL::ComPtr<ID3D11InputLayout> cursorLayout_;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> cursorTexture_;
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> cursorView_;
    Microsoft::WRL::ComPtr<ID3D11SamplerState> cursorSampler_;
    Microsoft::WRL::ComPtr<ID3D11BlendState> cursorBlend_;
};
