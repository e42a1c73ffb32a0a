#pragma once
#include <windows.h>

#include <d3d11.h>
#include <dcomp.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include "core/OOPManager.h"
#include "render/D3D11Backend.h"

// Folds the adapters, in the system's order, into the one for the game's monitor: an adapter of
// the two discrete vendors that drives it wins at once, else the first adapter that drives it.
class AdapterChoice {
public:
    explicit AdapterChoice(HMONITOR gameMonitor) : monitor_(gameMonitor) {}
    // One output of adapter `index`; true when that adapter wins outright.
    bool Offer(int index, UINT vendorId, HMONITOR outputMonitor);
    int Chosen() const { return chosen_; }  // -1: none drives the monitor

private:
    HMONITOR monitor_;
    int chosen_ = -1;
};

// Renders the overlay with Direct3D 11: a composition swap chain when it can, a regular one else.
class D3D11OOPManager : public OOPManager {
public:
    D3D11OOPManager() { pacer_.SetTargetRate(D3D11OOPManager::GetTargetFrameRate()); }
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

    bool PresentWaitsForVBlank() const { return pacer_.PresentWaits(); }

    bool UsesComposition() const { return composition_; }
    IDXGISwapChain* SwapChain() const { return swapChain_.Get(); }
    ID3D11Device* Device() const { return device_.Get(); }
    ID3D11DeviceContext* Context() const { return context_.Get(); }

protected:
    // After device removal or a failed re-initialisation: device and swap chain made again, tried
    // at once and then once a second, logging one row when a run of losses starts and one when it
    // ends.
    bool RecreateDevice(uint32_t width, uint32_t height);
    bool DeviceLost();
    void ReadRefreshRate();

    HRESULT lostReason_ = S_OK;
    int64_t nextRecreateUs_ = 0;
    int recreateTries_ = 0;

    bool composition_ = false;
    bool cursorReady_ = false;
    Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter_;
    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain_;
    Microsoft::WRL::ComPtr<ID3D11Device> device_;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
    Microsoft::WRL::ComPtr<ID3D11RenderTargetView> renderTarget_;
    Microsoft::WRL::ComPtr<IDXGIFactory2> factory_;
    CompositionObjects compositionObjects_;
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
