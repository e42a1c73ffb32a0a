#include <windows.h>

#include <d3d11.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "render/D3D11OOPManager.h"
#include "tests/gamewindow/OverlayTestSupport.h"

using Microsoft::WRL::ComPtr;

namespace {

// The manager over a window of its own, shown and not minimised, as the update step leaves it.
class TestD3D11 : public D3D11OOPManager {
public:
    TestD3D11() {
        overlayWindow_ = ::CreateWindowExW(0, L"STATIC", L"qm d3d11 test", WS_POPUP | WS_VISIBLE, 0, 0, 800, 600, nullptr,
                                           nullptr, nullptr, nullptr);
        minimized_ = false;
    }
    ~TestD3D11() override {
        ShutdownD3D();
        ::DestroyWindow(overlayWindow_);
    }
    void SetBackground(uint32_t colour) { backgroundColor_ = colour; }
    void SetStoredSize(uint32_t width, uint32_t height) {
        backBufferWidth_ = width;
        backBufferHeight_ = height;
    }
    void SetMinimized(bool minimized) { minimized_ = minimized; }
    bool& RenderSuspended() { return renderSuspended_; }
    bool FirstFrame() const { return firstFrameRendered_; }
};

// Reads the first pixel of the back buffer while the controller draws.
class PixelController : public test::FakeController {
public:
    void RenderOverlay(HWND, IDXGISwapChain* swapChain) override {
        ++frames;
        ComPtr<ID3D11Texture2D> back;
        ComPtr<ID3D11Device> device;
        if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(back.GetAddressOf())))) return;
        back->GetDevice(&device);
        D3D11_TEXTURE2D_DESC desc{};
        back->GetDesc(&desc);
        desc.Usage = D3D11_USAGE_STAGING;
        desc.BindFlags = 0;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        ComPtr<ID3D11Texture2D> staging;
        ComPtr<ID3D11DeviceContext> context;
        device->GetImmediateContext(&context);
        if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) return;
        context->CopyResource(staging.Get(), back.Get());
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (SUCCEEDED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
            pixel = *static_cast<const uint32_t*>(mapped.pData);
            context->Unmap(staging.Get(), 0);
        }
    }
    int frames = 0;
    uint32_t pixel = 0xDEADBEEF;
};

HRESULT WINAPI FailingCreateDevice(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT, const D3D_FEATURE_LEVEL*, UINT, UINT,
                                   ID3D11Device**, D3D_FEATURE_LEVEL*, ID3D11DeviceContext**) {
    return E_FAIL;
}
HRESULT WINAPI FailingCreateDeviceAndSwapChain(IDXGIAdapter*, D3D_DRIVER_TYPE, HMODULE, UINT, const D3D_FEATURE_LEVEL*,
                                               UINT, UINT, const DXGI_SWAP_CHAIN_DESC*, IDXGISwapChain**, ID3D11Device**,
                                               D3D_FEATURE_LEVEL*, ID3D11DeviceContext**) {
    return DXGI_ERROR_UNSUPPORTED;
}

DXGI_SWAP_CHAIN_DESC Describe(IDXGISwapChain* swapChain) {
    DXGI_SWAP_CHAIN_DESC d{};
    swapChain->GetDesc(&d);
    return d;
}

}  // namespace

TEST(D3D11Manager, WithoutCompositionTheRegularSwapChainIsUsed) {
    TestD3D11 m;
    ASSERT_TRUE(m.InitD3D());
    EXPECT_FALSE(m.UsesComposition());
    EXPECT_EQ(m.GetWindowExStyle(), 0u);
    const DXGI_SWAP_CHAIN_DESC d = Describe(m.SwapChain());
    EXPECT_EQ(d.BufferDesc.Width, 10u);
    EXPECT_EQ(d.BufferDesc.Height, 10u);
    EXPECT_EQ(d.BufferDesc.Format, DXGI_FORMAT_R8G8B8A8_UNORM);
    EXPECT_EQ(d.BufferCount, 2u);
    EXPECT_TRUE(d.Windowed);
    EXPECT_EQ(d.SwapEffect, DXGI_SWAP_EFFECT_DISCARD);
    EXPECT_EQ(d.Flags, static_cast<UINT>(DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH));
    EXPECT_EQ(d.OutputWindow, m.OverlayWindow());
    EXPECT_EQ(m.GetTargetFrameRate(), 90u);
    EXPECT_FALSE(m.IsAdapterChanged());  // one adapter, already in use
}

TEST(D3D11Manager, FailingSystemCallsFallBackOrFailTheStep) {
    D3D11System noDevice = D3D11System::Current();
    noDevice.createDevice = &FailingCreateDevice;
    D3D11System::Set(&noDevice);
    {
        TestD3D11 m;
        EXPECT_TRUE(m.InitD3D());  // the composition path fails at its first step
        EXPECT_FALSE(m.UsesComposition());
        EXPECT_NE(m.SwapChain(), nullptr);
    }
    D3D11System nothing = noDevice;
    nothing.createDeviceAndSwapChain = &FailingCreateDeviceAndSwapChain;
    D3D11System::Set(&nothing);
    {
        TestD3D11 m;
        EXPECT_FALSE(m.InitD3D());
        EXPECT_FALSE(m.ResetD3D(800, 600));
        EXPECT_FALSE(m.Render());
    }
    D3D11System::Set(nullptr);
}

TEST(D3D11Manager, ResetsFollowTheSizeRules) {
    TestD3D11 m;
    ASSERT_TRUE(m.InitD3D());
    EXPECT_FALSE(m.ResetD3D(0, 600));
    EXPECT_FALSE(m.ResetD3D(800, 0));
    m.SetMinimized(true);
    EXPECT_FALSE(m.ResetD3D(800, 600));
    m.SetMinimized(false);
    EXPECT_EQ(Describe(m.SwapChain()).BufferDesc.Width, 10u);

    m.SetStoredSize(800, 600);
    ASSERT_TRUE(m.ResetD3D(800, 600));  // the height is compared with the stored width
    EXPECT_EQ(Describe(m.SwapChain()).BufferDesc.Width, 800u);
    EXPECT_EQ(Describe(m.SwapChain()).BufferDesc.Height, 600u);

    m.SetStoredSize(600, 600);
    EXPECT_TRUE(m.ResetD3D(600, 600));  // skipped: no update
    EXPECT_EQ(Describe(m.SwapChain()).BufferDesc.Width, 800u);
    m.RenderSuspended() = true;
    EXPECT_TRUE(m.ResetD3D(600, 600));
    EXPECT_EQ(Describe(m.SwapChain()).BufferDesc.Width, 600u);
    EXPECT_FALSE(m.RenderSuspended());
}

TEST(D3D11Manager, RendersTheBackgroundAndTheControllersContentThenPresents) {
    PixelController controller;
    TestD3D11 m;
    m.HooksManager().SetControllerForTesting(&controller, &m);
    ASSERT_TRUE(m.InitD3D());
    m.SetStoredSize(0, 0);
    ASSERT_TRUE(m.ResetD3D(320, 200));
    m.SetBackground(0x0F7F0000);
    EXPECT_TRUE(m.Render());
    EXPECT_EQ(controller.frames, 1);
    // R8G8B8A8 in memory: red 127, green 0, blue 0, alpha 15.
    EXPECT_EQ(controller.pixel, 0x0F00007Fu);
    EXPECT_TRUE(m.FirstFrame());

    m.SetMinimized(true);
    EXPECT_FALSE(m.Render());
    EXPECT_EQ(controller.frames, 1);
    m.ShutdownD3D();
    m.SetMinimized(false);
    EXPECT_FALSE(m.Render());  // nothing to render into
}

TEST(D3D11Manager, TheDefaultAdapterWhenTheConfigurationAsksForIt) {
    TestD3D11 m;
    EXPECT_NE(m.GetAdapter(), nullptr);  // the adapter driving the screen
    GetGameConfiguration()->SetByte(qm::GameConfiguration::kAdapterChoice, 1);
    EXPECT_EQ(m.GetAdapter(), nullptr);
    EXPECT_FALSE(m.IsAdapterChanged());
    EXPECT_TRUE(m.InitD3D());  // on the device's own adapter
    GetGameConfiguration()->SetByte(qm::GameConfiguration::kAdapterChoice, 0);
}
