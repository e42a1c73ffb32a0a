#include "render/D3D11OOPManager.h"

#include <algorithm>

#include "common/DllHelper.h"
#include "common/MessageWait.h"
#include "logging/Log.h"
#include "core/CursorImage.h"

using Microsoft::WRL::ComPtr;

namespace {

// Rows logged once per run of failures, or once per process, whichever manager is current.
struct RenderLogState {
    bool lastPresentSucceeded = true;
    bool lastResizeSucceeded = true;
    bool resetLoggingArmed = true;
    bool firstRenderPending = true;
};
RenderLogState gRenderLog;

constexpr bool IsDeviceLoss(HRESULT hr) { return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET; }

// One step of a set-up: a failure is logged as "<step> failed 0x%x" and ends the set-up.
bool Succeeded(HRESULT hr, const wchar_t* function, const wchar_t* step) {
    if (SUCCEEDED(hr)) return true;
    QM_LOG_WARNING(function, L"%s failed 0x%x", step, static_cast<unsigned>(hr));
    return false;
}

}  // namespace

bool AdapterChoice::Offer(int index, UINT vendorId, HMONITOR outputMonitor) {
    constexpr UINT kDiscreteVendors[] = {0x10DE, 0x1002};
    if (monitor_ && monitor_ != outputMonitor) return false;
    if (std::find(std::begin(kDiscreteVendors), std::end(kDiscreteVendors), vendorId) != std::end(kDiscreteVendors)) {
        chosen_ = index;
        return true;
    }
    if (chosen_ < 0) chosen_ = index;
    return false;
}

D3D11OOPManager::~D3D11OOPManager() { factory_.Reset(); }

ComPtr<IDXGIAdapter1> D3D11OOPManager::GetAdapter() {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::GetAdapter";
    if (GetGameConfiguration()->Byte(qm::GameConfiguration::kAdapterChoice) != 0) {
        QM_LOG_WARNING(kFn, L"Use default adapter");
        return nullptr;
    }
    if (!factory_ && FAILED(D3D11Backend::Current().CreateFactory(factory_.ReleaseAndGetAddressOf()))) {
        QM_LOG_WARNING(kFn, L"OOPO CreateDXGIFactory2 failed");
        return nullptr;
    }
    AdapterChoice choice(windowManager_.Monitor());
    ComPtr<IDXGIAdapter1> candidate;
    ComPtr<IDXGIAdapter1> adapter;
    for (UINT i = 0; SUCCEEDED(factory_->EnumAdapters1(i, adapter.ReleaseAndGetAddressOf())); ++i) {
        DXGI_ADAPTER_DESC1 desc{};
        adapter->GetDesc1(&desc);
        ComPtr<IDXGIOutput> output;
        for (UINT j = 0; SUCCEEDED(adapter->EnumOutputs(j, output.ReleaseAndGetAddressOf())); ++j) {
            DXGI_OUTPUT_DESC outputDesc{};
            output->GetDesc(&outputDesc);
            const int before = choice.Chosen();
            if (choice.Offer(static_cast<int>(i), desc.VendorId, outputDesc.Monitor)) return adapter;
            if (choice.Chosen() != before) candidate = adapter;
        }
    }
    return candidate;
}

bool D3D11OOPManager::IsAdapterChanged() {
    ComPtr<IDXGIAdapter1> wanted = GetAdapter();
    if (!wanted) return false;
    if (!adapter_) return true;
    DXGI_ADAPTER_DESC1 a{}, b{};
    wanted->GetDesc1(&a);
    adapter_->GetDesc1(&b);
    return a.AdapterLuid.LowPart != b.AdapterLuid.LowPart || a.AdapterLuid.HighPart != b.AdapterLuid.HighPart;
}

bool D3D11OOPManager::InitD3D() {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitD3D";
    adapter_.Reset();
    // Chosen for the game's monitor as it is now: a check queued for that monitor has nothing left
    // to find (and would only build another factory).
    if (windowManager_.Monitor()) adapterCheckPending_ = false;
    adapter_ = GetAdapter();
    ReadRefreshRate();
    DXGI_ADAPTER_DESC1 desc{};
    if (adapter_ && adapter_->GetDesc1(&desc) == S_OK) QM_LOG_INFO(kFn, 1, L"adapter info %s", desc.Description);
    if (InitD3DDComp()) {
        composition_ = true;
        return true;
    }
    QM_LOG_WARNING(kFn, L"DirectComposition initialization failed, falling back to regular swap chain");
    composition_ = false;
    // What a part-way composition attempt left is released before the fallback replaces it.
    compositionObjects_ = CompositionObjects{};
    renderTarget_.Reset();
    swapChain_.Reset();
    context_.Reset();
    device_.Reset();

    DXGI_SWAP_CHAIN_DESC sd{};
    sd.BufferDesc.Width = 10;
    sd.BufferDesc.Height = 10;
    sd.BufferDesc.RefreshRate = DXGI_RATIONAL{0, 1};
    sd.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.SampleDesc.Count = 1;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.BufferCount = 2;
    sd.OutputWindow = overlayWindow_;
    sd.Windowed = TRUE;
    sd.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    sd.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
    if (!Succeeded(D3D11Backend::Current().CreateDeviceAndSwapChain(adapter_.Get(), sd, swapChain_.GetAddressOf(),
                                                                     device_.GetAddressOf(), context_.GetAddressOf()),
                   kFn, L"OOPO D3D11CreateDeviceAndSwapChain")) {
        return false;
    }
    if (factory_) {
        factory_->MakeWindowAssociation(overlayWindow_, DXGI_MWA_NO_ALT_ENTER);
        factory_.Reset();
    }
    CreateRenderTarget(10, 10);
    return true;
}

bool D3D11OOPManager::InitD3DDComp() {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitD3DDComp";
    QM_LOG_INFO(kFn, 1, L"Initializing D3DDComp overlay");
    D3D11Backend& backend = D3D11Backend::Current();
    if (!Succeeded(backend.CreateDevice(adapter_.Get(), device_.ReleaseAndGetAddressOf(),
                                        context_.ReleaseAndGetAddressOf()),
                   kFn, L"OOPO D3D11CreateDevice")) {
        return false;
    }
    ComPtr<IDXGIDevice> dxgiDevice;
    if (!Succeeded(device_.As(&dxgiDevice), kFn, L"QueryInterface IDXGIDevice")) return false;
    HRESULT parent = S_OK;
    if (!adapter_) {
        ComPtr<IDXGIAdapter> deviceAdapter;
        if (!Succeeded(dxgiDevice->GetAdapter(&deviceAdapter), kFn, L"GetAdapter")) return false;
        factory_.Reset();
        parent = deviceAdapter->GetParent(__uuidof(IDXGIFactory2), reinterpret_cast<void**>(factory_.GetAddressOf()));
    }
    dxgiDevice.Reset();
    if (!Succeeded(FAILED(parent) || factory_ ? parent : E_NOINTERFACE, kFn, L"GetParent IDXGIFactory2")) return false;
    DXGI_SWAP_CHAIN_DESC1 sd{};
    sd.Width = 10;
    sd.Height = 10;
    sd.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.SampleDesc.Count = 1;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.BufferCount = 2;
    sd.Scaling = DXGI_SCALING_STRETCH;
    sd.SwapEffect = DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL;
    sd.AlphaMode = DXGI_ALPHA_MODE_PREMULTIPLIED;
    ComPtr<IDXGISwapChain1> swapChain;
    if (!Succeeded(backend.CreateCompositionSwapChain(factory_.Get(), device_.Get(), overlayWindow_, sd, &swapChain),
                   kFn, L"CreateSwapChainForComposition")) {
        return false;
    }
    swapChain_ = swapChain;
    factory_->MakeWindowAssociation(overlayWindow_, DXGI_MWA_NO_ALT_ENTER);

    const wchar_t* failedStep = nullptr;
    const HRESULT composed = backend.Compose(overlayWindow_, swapChain.Get(), &compositionObjects_, &failedStep);
    if (FAILED(composed)) {
        if (failedStep) Succeeded(composed, kFn, failedStep);
        return false;
    }
    CreateRenderTarget(10, 10);
    if (!InitCursorRendering()) QM_LOG_WARNING(kFn, L"cursor rendering init failed");
    return true;
}

bool D3D11OOPManager::CreateRenderTarget(uint32_t width, uint32_t height) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::CreateRenderTarget";
    ComPtr<ID3D11Texture2D> back;
    const HRESULT hr = swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(back.GetAddressOf()));
    if (!back) {
        QM_LOG_WARNING(kFn, L"get buffer error 0x%x", static_cast<unsigned>(hr));
        return false;
    }
    const HRESULT created = device_->CreateRenderTargetView(back.Get(), nullptr, renderTarget_.ReleaseAndGetAddressOf());
    if (FAILED(created)) {
        QM_LOG_WARNING(kFn, L"create RTV error 0x%x", static_cast<unsigned>(created));
        return false;
    }
    ID3D11RenderTargetView* views[] = {renderTarget_.Get()};
    context_->OMSetRenderTargets(1, views, nullptr);
    D3D11_VIEWPORT viewport{0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height), 0.0f, 0.0f};
    context_->RSSetViewports(1, &viewport);
    return true;
}

bool D3D11OOPManager::DeviceLost() {
    if (!device_ || !context_) return true;
    if (lostReason_ == S_OK) lostReason_ = device_->GetDeviceRemovedReason();
    return lostReason_ != S_OK;
}

bool D3D11OOPManager::RecreateDevice(uint32_t width, uint32_t height) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::RecreateDevice";
    constexpr int64_t kBackOffUs = 1000000;
    const int64_t now = base::NowMicroseconds();
    if (recreateTries_ > 0 && now < nextRecreateUs_) {
        DelayNextPass(nextRecreateUs_ - now);
        return false;
    }
    if (recreateTries_++ == 0) {
        if (lostReason_ != S_OK) {
            QM_LOG_WARNING(kFn, L"device lost 0x%x, re-creating it", static_cast<unsigned>(lostReason_));
        } else {
            QM_LOG_WARNING(kFn, L"no device, re-creating it");
        }
    }
    bool made;
    {
        // Every try would repeat the same rows: the run logs once when it starts and once when it ends.
        LogMute mute;
        ShutdownD3D();
        made = InitD3D();
    }
    if (!made) {
        nextRecreateUs_ = now + kBackOffUs;
        DelayNextPass(kBackOffUs);
        return false;
    }
    QM_LOG_INFO(kFn, 1, L"device re-created after %d tries", recreateTries_);
    statistics_.DeviceRecreated();
    lostReason_ = S_OK;
    recreateTries_ = 0;
    renderSuspended_ = true;  // the new swap chain is 10 x 10: the reset below must not be skipped
    return ResetD3D(width, height);
}

bool D3D11OOPManager::ResetD3D(uint32_t width, uint32_t height) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::ResetD3D";
    if (minimized_ || width < 1 || height < 1) return false;
    // A device made again needs a size to make it for; before the first one there is none to lose.
    if (backBufferWidth_ != 0 && DeviceLost()) return RecreateDevice(width, height);
    if (!context_) return false;
    // The height is compared with the stored width: resets at the stored size after an adapter or
    // full-screen change then go ahead for any window that is not square.
    if (!renderSuspended_ && width == backBufferWidth_ && height == backBufferWidth_) {
        QM_LOG_INFO(kFn, 1, L"skip reset device (%d %d) - no update", width, height);
        return true;
    }
    if (gRenderLog.resetLoggingArmed) {
        QM_LOG_INFO(kFn, 1, L"Reset device (%d %d)", width, height);
        gRenderLog.resetLoggingArmed = false;
    }
    context_->OMSetRenderTargets(0, nullptr, nullptr);
    renderTarget_.Reset();
    const HRESULT hr = swapChain_->ResizeBuffers(2, width, height, DXGI_FORMAT_R8G8B8A8_UNORM, 0);
    if (FAILED(hr)) {
        if (gRenderLog.lastResizeSucceeded) {
            QM_LOG_WARNING(kFn, L"Resize buffer error 0x%x (%d, %d)", static_cast<unsigned>(hr), width, height);
        }
        gRenderLog.lastResizeSucceeded = false;
        if (IsDeviceLoss(hr)) lostReason_ = hr;
        return false;
    }
    gRenderLog.lastResizeSucceeded = true;
    if (!CreateRenderTarget(width, height)) return false;
    gRenderLog.resetLoggingArmed = true;
    renderSuspended_ = false;
    QM_LOG_INFO(kFn, 1, L"Reset device  complete (%d %d)", width, height);
    return true;
}

bool D3D11OOPManager::Render() {
    if (!renderTarget_ || minimized_) return false;
    const uint32_t c = backgroundColor_;
    constexpr float kScale = 0.003921569f;
    const float colour[4] = {static_cast<float>((c >> 16) & 255) * kScale, static_cast<float>((c >> 8) & 255) * kScale,
                             static_cast<float>(c & 255) * kScale, static_cast<float>(c >> 24) * kScale};
    context_->ClearRenderTargetView(renderTarget_.Get(), colour);
    if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) {
        controller->RenderOverlay(overlayWindow_, swapChain_.Get());
    }
    bool cursorDrawn = false;
    if (!clickThrough_) {
        CURSORINFO cursor{};
        cursor.cbSize = sizeof(cursor);
        if (::GetCursorInfo(&cursor) && (cursor.flags & CURSOR_SHOWING) == 0) {
            cursorDrawn = RenderCursor();
        }
    }
    const UINT sync = cursorDrawn ? 0 : 1;
    const int64_t presentStart = base::NowMicroseconds();
    const HRESULT hr = D3D11Backend::Current().Present(swapChain_.Get(), sync);
    pacer_.Presented(presentStart, base::NowMicroseconds(), sync != 0);
    if (hr == S_OK) {
        gRenderLog.lastPresentSucceeded = true;
        firstFrameRendered_ = true;
        if (gRenderLog.firstRenderPending) {
            QM_LOG_INFO(L"D3D11OOPManager::Render", 1, L"first render");
            gRenderLog.firstRenderPending = false;
        }
        return true;
    }
    const bool visible = ::IsWindowVisible(overlayWindow_) != FALSE;
    if (IsDeviceLoss(hr)) {
        renderSuspended_ = true;
        lostReason_ = hr;
    }
    if (gRenderLog.lastPresentSucceeded) {
        QM_LOG_WARNING(L"D3D11OOPManager::Render", L"Present error 0x%x (%d) (v:%d)", static_cast<unsigned>(hr),
                       renderSuspended_ ? 1 : 0, visible ? 1 : 0);
        gRenderLog.lastPresentSucceeded = false;
    }
    return !renderSuspended_;
}

bool D3D11OOPManager::ShouldRenderFrame() {
    if (minimized_) return OOPManager::ShouldRenderFrame();
    PostFullScreenCheck();  // at most once a second, however often it is asked
    return pacer_.FrameDue(base::NowMicroseconds());
}

void D3D11OOPManager::ReadRefreshRate() {
    HMONITOR monitor = windowManager_.Monitor();
    if (!monitor) monitor = ::MonitorFromWindow(overlayWindow_, MONITOR_DEFAULTTONEAREST);
    MONITORINFOEXW info{};
    info.cbSize = sizeof(info);
    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    uint32_t rate = 60;
    // 0 and 1 stand for the hardware's default rate.
    if (monitor && ::GetMonitorInfoW(monitor, &info) &&
        ::EnumDisplaySettingsW(info.szDevice, ENUM_CURRENT_SETTINGS, &mode) && mode.dmDisplayFrequency > 1) {
        rate = mode.dmDisplayFrequency;
    }
    pacer_.SetRefreshRate(rate);
}

void D3D11OOPManager::ShutdownD3D() {
    QM_LOG_INFO(L"D3D11OOPManager::ShutdownD3D", 1, L"releasing d3d11 device");
    cursorReady_ = false;
    cursorBlend_.Reset();
    cursorSampler_.Reset();
    cursorView_.Reset();
    cursorTexture_.Reset();
    cursorConstants_.Reset();
    cursorLayout_.Reset();
    cursorPixelShader_.Reset();
    cursorVertexShader_.Reset();
    cursorIndices_.Reset();
    cursorVertices_.Reset();
    compositionObjects_.visual.Reset();
    compositionObjects_.target.Reset();
    compositionObjects_.device.Reset();
    adapter_.Reset();
    swapChain_.Reset();
    device_.Reset();
    context_.Reset();
    renderTarget_.Reset();
}

namespace {

constexpr char kCursorShader[] =
    "cbuffer CB : register(b0) {\n"
    "  float screen_width;\n"
    "  float screen_height;\n"
    "  float cursor_x;\n"
    "  float cursor_y;\n"
    "};\n"
    "struct VS_IN  { float2 pos : POSITION; float2 uv : TEXCOORD0; };\n"
    "struct PS_IN  { float4 pos : SV_POSITION; float2 uv : TEXCOORD0; };\n"
    "PS_IN VS(VS_IN i) {\n"
    "  PS_IN o;\n"
    "  float2 px = float2(cursor_x + i.pos.x, cursor_y + i.pos.y);\n"
    "  o.pos = float4(px.x / screen_width * 2.0 - 1.0,\n"
    "                 1.0 - px.y / screen_height * 2.0, 0, 1);\n"
    "  o.uv = i.uv;\n"
    "  return o;\n"
    "}\n"
    "Texture2D tex : register(t0);\n"
    "SamplerState smp : register(s0);\n"
    "float4 PS(PS_IN i) : SV_TARGET { return tex.Sample(smp, i.uv); }\n";
static_assert(sizeof(kCursorShader) - 1 == 603, "the cursor shader's text");

using CompileFn = HRESULT(WINAPI*)(const void*, SIZE_T, const char*, const void*, void*, const char*, const char*, UINT,
                                   UINT, ID3DBlob**, ID3DBlob**);

// The shader compiler, loaded once: version 47 ships with the system since Windows 8.1; version 43
// only with the DirectX redistributable.
CompileFn Compiler() {
    static CompileFn compile = [] {
        HMODULE library = base::dll_helper::LoadSystemLibrary(L"d3dcompiler_47.dll");
        if (!library) library = base::dll_helper::LoadSystemLibrary(L"d3dcompiler_43.dll");
        return library ? reinterpret_cast<CompileFn>(reinterpret_cast<void*>(::GetProcAddress(library, "D3DCompile")))
                       : nullptr;
    }();
    return compile;
}

HRESULT CompileCursorShader(const char* entry, const char* target, ComPtr<ID3DBlob>* code) {
    CompileFn compile = Compiler();
    if (!compile) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    ComPtr<ID3DBlob> errors;
    return compile(kCursorShader, sizeof(kCursorShader) - 1, "CursorShader", nullptr, nullptr, entry, target, 0, 0,
                   code->ReleaseAndGetAddressOf(), &errors);
}

struct CursorVertex {
    float x, y, u, v;
};
static_assert(sizeof(CursorVertex) == 16, "the vertex stride");

}  // namespace

bool D3D11OOPManager::InitCursorRendering() {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitCursorRendering";
    if (!device_) return false;
    ComPtr<ID3DBlob> vsCode, psCode;
    HRESULT hr = CompileCursorShader("VS", "vs_4_0", &vsCode);
    if (FAILED(hr)) {
        QM_LOG_WARNING(kFn, L"cursor VS compile error 0x%x", static_cast<unsigned>(hr));
        return false;
    }
    hr = CompileCursorShader("PS", "ps_4_0", &psCode);
    if (FAILED(hr)) {
        QM_LOG_WARNING(kFn, L"cursor PS compile error 0x%x", static_cast<unsigned>(hr));
        return false;
    }
    if (!Succeeded(device_->CreateVertexShader(vsCode->GetBufferPointer(), vsCode->GetBufferSize(), nullptr,
                                               cursorVertexShader_.ReleaseAndGetAddressOf()),
                   kFn, L"cursor CreateVertexShader") ||
        !Succeeded(device_->CreatePixelShader(psCode->GetBufferPointer(), psCode->GetBufferSize(), nullptr,
                                              cursorPixelShader_.ReleaseAndGetAddressOf()),
                   kFn, L"cursor CreatePixelShader")) {
        return false;
    }
    const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    if (!Succeeded(device_->CreateInputLayout(layout, 2, vsCode->GetBufferPointer(), vsCode->GetBufferSize(),
                                              cursorLayout_.ReleaseAndGetAddressOf()),
                   kFn, L"cursor CreateInputLayout")) {
        return false;
    }
    const CursorVertex vertices[4] = {{0, 0, 0, 0}, {32, 0, 1, 0}, {32, 32, 1, 1}, {0, 32, 0, 1}};
    const uint16_t indices[6] = {0, 1, 2, 0, 2, 3};
    const D3D11_BUFFER_DESC vertexDesc{sizeof(vertices), D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    const D3D11_SUBRESOURCE_DATA vertexData{vertices, 0, 0};
    const D3D11_BUFFER_DESC indexDesc{sizeof(indices), D3D11_USAGE_IMMUTABLE, D3D11_BIND_INDEX_BUFFER, 0, 0, 0};
    const D3D11_SUBRESOURCE_DATA indexData{indices, 0, 0};
    const D3D11_BUFFER_DESC constantDesc{16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE,
                                         0, 0};
    D3D11_SAMPLER_DESC sd{};
    sd.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sd.AddressU = sd.AddressV = sd.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    D3D11_BLEND_DESC blend{};
    D3D11_RENDER_TARGET_BLEND_DESC& rt = blend.RenderTarget[0];
    rt.BlendEnable = TRUE;
    rt.SrcBlend = rt.SrcBlendAlpha = D3D11_BLEND_ONE;
    rt.DestBlend = rt.DestBlendAlpha = D3D11_BLEND_INV_SRC_ALPHA;
    rt.BlendOp = rt.BlendOpAlpha = D3D11_BLEND_OP_ADD;
    rt.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (!Succeeded(device_->CreateBuffer(&vertexDesc, &vertexData, cursorVertices_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor vertex buffer") ||
        !Succeeded(device_->CreateBuffer(&indexDesc, &indexData, cursorIndices_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor index buffer") ||
        !Succeeded(device_->CreateBuffer(&constantDesc, nullptr, cursorConstants_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor constant buffer") ||
        !Succeeded(device_->CreateSamplerState(&sd, cursorSampler_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor CreateSamplerState") ||
        !Succeeded(device_->CreateBlendState(&blend, cursorBlend_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor CreateBlendState")) {
        return false;
    }
    cursorReady_ = true;
    QM_LOG_INFO(kFn, 1, L"cursor rendering initialized");
    return true;
}

bool D3D11OOPManager::RenderCursor() {
    if (!cursorVertexShader_ || !context_ || !cursorReady_) return false;
    if (cursorChanged_ || !cursorView_) {
        const CursorImage* current = CurrentCursorImage();
        if (!current || !device_) return false;
        cursorView_.Reset();
        cursorTexture_.Reset();
        D3D11_TEXTURE2D_DESC td{};
        td.Width = td.Height = CursorImage::kSize;
        td.MipLevels = td.ArraySize = 1;
        td.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        td.SampleDesc.Count = 1;
        td.Usage = D3D11_USAGE_IMMUTABLE;
        td.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        const D3D11_SUBRESOURCE_DATA data{current->pixels, CursorImage::kSize * 4, 0};
        if (FAILED(device_->CreateTexture2D(&td, &data, cursorTexture_.GetAddressOf()))) return false;
        D3D11_SHADER_RESOURCE_VIEW_DESC vd{};
        vd.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        vd.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
        vd.Texture2D.MostDetailedMip = 0;
        vd.Texture2D.MipLevels = 1;
        if (FAILED(device_->CreateShaderResourceView(cursorTexture_.Get(), &vd, cursorView_.GetAddressOf()))) return false;
        cursorChanged_ = false;
        if (!cursorView_) return false;
    }
    const POINT mouse = OOPHooksManager::LastMousePosition();
    const CursorImage* image = CurrentCursorImage();
    const int hotX = image ? static_cast<int>(image->hotspotX) : 0;
    const int hotY = image ? static_cast<int>(image->hotspotY) : 0;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(cursorConstants_.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) return false;
    float* constants = static_cast<float*>(mapped.pData);
    constants[0] = static_cast<float>(static_cast<int>(backBufferWidth_));
    constants[1] = static_cast<float>(static_cast<int>(backBufferHeight_));
    constants[2] = static_cast<float>(mouse.x - hotX);
    constants[3] = static_cast<float>(mouse.y - hotY);
    context_->Unmap(cursorConstants_.Get(), 0);

    const UINT stride = sizeof(CursorVertex);
    const UINT offset = 0;
    ID3D11Buffer* vertexBuffers[] = {cursorVertices_.Get()};
    ID3D11Buffer* constantBuffers[] = {cursorConstants_.Get()};
    ID3D11ShaderResourceView* views[] = {cursorView_.Get()};
    ID3D11SamplerState* samplers[] = {cursorSampler_.Get()};
    ID3D11RenderTargetView* targets[] = {renderTarget_.Get()};
    const float blendFactor[4] = {0, 0, 0, 0};
    context_->IASetInputLayout(cursorLayout_.Get());
    context_->IASetVertexBuffers(0, 1, vertexBuffers, &stride, &offset);
    context_->IASetIndexBuffer(cursorIndices_.Get(), DXGI_FORMAT_R16_UINT, 0);
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context_->VSSetShader(cursorVertexShader_.Get(), nullptr, 0);
    context_->VSSetConstantBuffers(0, 1, constantBuffers);
    context_->PSSetShader(cursorPixelShader_.Get(), nullptr, 0);
    context_->PSSetShaderResources(0, 1, views);
    context_->PSSetSamplers(0, 1, samplers);
    context_->OMSetBlendState(cursorBlend_.Get(), blendFactor, 0xFFFFFFFF);
    context_->OMSetRenderTargets(1, targets, nullptr);
    context_->DrawIndexed(6, 0, 0);
    return true;
}
