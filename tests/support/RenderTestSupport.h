#pragma once
// Helpers of the renderer tests: a host that answers the renderer, a stand-in for the system's
// backend, and reading a swap chain's back buffer.
#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include "render/D3D11Backend.h"
#include "common/MessageWait.h"
#include "core/Renderer.h"
#include "render/D3D11Renderer.h"

#include <cstdint>
#include <vector>

namespace test {

// What a renderer asks, answered by the test: a window of its own, shown, and whatever the test
// sets below.
class TestRenderHost : public RenderHost {
public:
    TestRenderHost() {
        window_ = ::CreateWindowExW(0, L"STATIC", L"qm render test", WS_POPUP | WS_VISIBLE, 0, 0, 800, 600, nullptr,
                                    nullptr, nullptr, nullptr);
        pacer.SetTargetRate(90);
    }
    ~TestRenderHost() { ::DestroyWindow(window_); }
    TestRenderHost(const TestRenderHost&) = delete;
    TestRenderHost& operator=(const TestRenderHost&) = delete;

    HWND OverlayWindow() const override { return window_; }
    HMONITOR GameMonitor() override { return nullptr; }
    bool GameClientSize(uint32_t* width, uint32_t* height) override {
        if (!gameShown) return false;
        *width = gameWidth;
        *height = gameHeight;
        return true;
    }
    qm::IOverlayManagerController* Controller() override { return controller; }
    uint32_t BackgroundColor() const override { return background; }
    bool ClickThrough() const override { return clickThrough; }
    bool Minimized() const override { return minimized; }
    const CursorImage* CursorToDraw(bool* changed) override {
        *changed = cursorChanged;
        cursorChanged = false;
        return cursor.valid ? &cursor : nullptr;
    }
    FramePacer& Pacer() override { return pacer; }
    void DelayNextPass(int64_t microseconds) override { pacer.DelayNextPass(base::NowMicroseconds(), microseconds); }
    void DeviceRecreated() override { ++recreated; }

    qm::IOverlayManagerController* controller = nullptr;
    uint32_t background = 0;
    bool clickThrough = true;
    bool minimized = false;
    bool gameShown = false;  // a game window of gameWidth x gameHeight
    uint32_t gameWidth = 0, gameHeight = 0;
    CursorImage cursor{};
    bool cursorChanged = false;
    FramePacer pacer;
    int recreated = 0;

private:
    HWND window_ = nullptr;
};

// A Direct3D 11 renderer over a host of its own.
struct TestD3D11 {
    TestRenderHost host;
    D3D11Renderer renderer{host};
    D3D11Renderer* operator->() { return &renderer; }
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
