#pragma once
// Helpers of the renderer tests: what a renderer is handed, a stand-in for the system's
// backend, and reading a swap chain's back buffer.
#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include "render/D3D11Backend.h"
#include "common/MessageWait.h"
#include "core/FramePacer.h"
#include "core/Renderer.h"
#include "render/D3D11Renderer.h"

#include <cstdint>
#include <vector>

namespace test {

// What a renderer is handed in a test: a window of its own, shown, as its target, a pacer at 90
// frames a second, and the frame that a test changes as it goes.
struct RenderBed {
    RenderBed() {
        target.window = ::CreateWindowExW(0, L"STATIC", L"qm render test", WS_POPUP | WS_VISIBLE, 0, 0, 800, 600,
                                          nullptr, nullptr, nullptr, nullptr);
        pacer.SetTargetRate(90);
    }
    ~RenderBed() { ::DestroyWindow(target.window); }
    RenderBed(const RenderBed&) = delete;
    RenderBed& operator=(const RenderBed&) = delete;

    FramePacer pacer;
    RenderTarget target;
    FrameInput frame;
};

// A Direct3D 11 renderer over a bed of its own, gone before its window.
struct TestD3D11 : RenderBed {
    D3D11Renderer renderer{pacer};
    D3D11Renderer* operator->() { return &renderer; }
    bool Create() { return renderer.Create(target); }
    bool Render() { return renderer.RenderAndPresent(frame); }
};

// Buffer 0 of the swap chain copied through its own device, row by row, one 32-bit value per pixel
// as the buffer stores it; empty when it cannot be read.
inline std::vector<uint32_t> ReadBackBuffer(IDXGISwapChain* swapChain, UINT* width = nullptr) {
    using Microsoft::WRL::ComPtr;
    std::vector<uint32_t> pixels;
    ComPtr<ID3D11Texture2D> back;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(back.GetAddressOf())))) {
        return pixels;
    }
    back->GetDevice(&device);
    device->GetImmediateContext(&context);
    D3D11_TEXTURE2D_DESC desc{};
    back->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) return pixels;
    context->CopyResource(staging.Get(), back.Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return pixels;
    for (UINT y = 0; y < desc.Height; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(mapped.pData) + y * mapped.RowPitch);
        pixels.insert(pixels.end(), row, row + desc.Width);
    }
    context->Unmap(staging.Get(), 0);
    if (width) *width = desc.Width;
    return pixels;
}

// The system's backend with the failures a test asks for, in use while it lives. Where Wine has
// no composition, a working composition path is a flip-model swap chain of the window.
class StandInBackend : public D3D11Backend {
public:
    StandInBackend() { D3D11Backend::Set(this); }
    ~StandInBackend() override { D3D11Backend::Set(nullptr); }
    StandInBackend(const StandInBackend&) = delete;
    StandInBackend& operator=(const StandInBackend&) = delete;

    // Called on the renderer's device thread.
    HRESULT CreateDevice(IDXGIAdapter1* adapter, ID3D11Device** device, ID3D11DeviceContext** context) override {
        if (deviceDelayMs > 0) ::Sleep(deviceDelayMs);
        return noDevice ? E_FAIL : D3D11Backend::CreateDevice(adapter, device, context);
    }
    HRESULT CreateDeviceAndSwapChain(IDXGIAdapter1* adapter, const DXGI_SWAP_CHAIN_DESC& desc,
                                     IDXGISwapChain** swapChain, ID3D11Device** device,
                                     ID3D11DeviceContext** context) override {
        ++swapChainsAsked;
        if (swapChainFailures > 0) {
            --swapChainFailures;
            return DXGI_ERROR_DEVICE_REMOVED;
        }
        return D3D11Backend::CreateDeviceAndSwapChain(adapter, desc, swapChain, device, context);
    }
    HRESULT CreateCompositionSwapChain(IDXGIFactory2* factory, ID3D11Device* device, HWND window,
                                       const DXGI_SWAP_CHAIN_DESC1& desc, IDXGISwapChain1** swapChain) override {
        if (!composition) return E_NOTIMPL;
        compositionDesc = desc;
        DXGI_SWAP_CHAIN_DESC1 windowed = desc;  // a window's swap chain takes no alpha mode
        windowed.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
        return factory->CreateSwapChainForHwnd(device, window, &windowed, nullptr, nullptr, swapChain);
    }
    HRESULT Compose(HWND window, IDXGISwapChain1* swapChain, CompositionObjects*, const wchar_t** failedStep) override {
        composedWindow = window;
        composedContent = swapChain;
        *failedStep = composeFailsAt && *composeFailsAt ? composeFailsAt : nullptr;
        return composeFailsAt ? E_FAIL : S_OK;
    }
    HRESULT Present(IDXGISwapChain* swapChain, UINT sync) override {
        ++presents;
        return presentResult == S_OK ? D3D11Backend::Present(swapChain, sync) : presentResult;
    }
    HRESULT PresentLayered(LayeredPresenter& presenter, ID3D11Device* device, ID3D11DeviceContext* context,
                           ID3D11Texture2D* back) override {
        ++presents;
        return presentResult == S_OK ? D3D11Backend::PresentLayered(presenter, device, context, back) : presentResult;
    }

    bool noDevice = false;                    // the composition path fails at its first step
    DWORD deviceDelayMs = 0;                  // a device takes this long to make
    bool composition = false;                 // the composition swap chain can be made
    const wchar_t* composeFailsAt = nullptr;  // that composition step fails ("": the library is missing)
    int swapChainFailures = 0;                // the regular swap chain fails this often, device removed
    HRESULT presentResult = S_OK;

    int swapChainsAsked = 0;
    int presents = 0;
    DXGI_SWAP_CHAIN_DESC1 compositionDesc{};
    HWND composedWindow = nullptr;
    IUnknown* composedContent = nullptr;
};

}  // namespace test
