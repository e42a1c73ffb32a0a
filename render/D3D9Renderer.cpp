#include "render/D3D9Renderer.h"

#include <cstdio>

#include "logging/Log.h"

// Defined values before the first fill: all zero.
D3D9Renderer::D3D9Renderer() : present_{} {}

void D3D9Renderer::FillPresentParameters(uint32_t width, uint32_t height) {
    if (width < 320 || height < 240) return;
    present_.BackBufferWidth = width;
    present_.BackBufferHeight = height;
    present_.BackBufferFormat = D3DFMT_A8R8G8B8;
    present_.BackBufferCount = 1;
    present_.MultiSampleType = D3DMULTISAMPLE_NONE;
    present_.MultiSampleQuality = 0;
    present_.SwapEffect = D3DSWAPEFFECT_COPY;
    present_.hDeviceWindow = window_;
    present_.Windowed = TRUE;
    present_.EnableAutoDepthStencil = TRUE;
    present_.AutoDepthStencilFormat = D3DFMT_D16;
    present_.Flags = 0;
    present_.FullScreen_RefreshRateInHz = 0;
    present_.PresentationInterval = D3DPRESENT_INTERVAL_ONE;
}

bool D3D9Renderer::Create(const RenderTarget& target) {
    constexpr const wchar_t* kFn = L"D3D9OOPManager::InitD3D";
    window_ = target.window;
    d3d_.Attach(::Direct3DCreate9(D3D_SDK_VERSION));
    if (!d3d_) {
        QM_LOG_ERROR(kFn, L"Create d3d9 error 0x%x", static_cast<unsigned>(::GetLastError()));
        return false;
    }
    uint32_t width = target.width;
    uint32_t height = target.height;
    if (width == 0 && height == 0) {
        width = height = 10;
        ::OutputDebugStringA("Zero Size Window -> Reset to default size !!!\n");
    }
    FillPresentParameters(width, height);
    const HRESULT hr = d3d_->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_,
                                          D3DCREATE_SOFTWARE_VERTEXPROCESSING, &present_, device_.ReleaseAndGetAddressOf());
    if (device_) return true;
    QM_LOG_ERROR(kFn, L"Create device error 0x%x", static_cast<unsigned>(hr));
    return false;
}

void D3D9Renderer::Release() {
    device_.Reset();
    d3d_.Reset();
}

bool D3D9Renderer::Resize(uint32_t width, uint32_t height, bool /*again*/) {
    char text[1024];
    std::snprintf(text, sizeof(text), "ResetD3D width=%d - height=%d\n", static_cast<int>(width),
                  static_cast<int>(height));
    ::OutputDebugStringA(text);
    FillPresentParameters(width, height);
    const HRESULT hr = device_ ? device_->Reset(&present_) : D3DERR_INVALIDCALL;
    if (hr == D3D_OK) {
        ::OutputDebugStringA("D3D9 Reset OK\n");
        return true;
    }
    if (hr == D3DERR_DEVICELOST) ::OutputDebugStringA("D3D9 Reset -> D3DERR_DEVICELOST\n");
    ::OutputDebugStringA("D3D9 Reset failed\n");
    return false;
}

bool D3D9Renderer::RenderAndPresent(const FrameInput& frame) {
    if (!device_ || device_->TestCooperativeLevel() != D3D_OK) return false;
    device_->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, static_cast<D3DCOLOR>(frame.backgroundColor), 1.0f, 0);
    device_->BeginScene();
    device_->EndScene();
    device_->Present(nullptr, nullptr, nullptr, nullptr);
    return true;
}
