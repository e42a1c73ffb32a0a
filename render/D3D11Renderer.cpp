#include "render/D3D11Renderer.h"

#include <cstring>
#include <utility>

#include "common/MessageWait.h"
#include "input/OOPHooksManager.h"
#include "logging/Log.h"
#include "render/D3D11Adapter.h"
#include "render/D3D11Steps.h"

using Microsoft::WRL::ComPtr;

namespace {

// Rows logged once per run of failures, or once per process, whichever renderer is current.
struct RenderLogState {
    bool lastPresentSucceeded = true;
    bool lastResizeSucceeded = true;
    bool resetLoggingArmed = true;
    bool firstRenderPending = true;
};
RenderLogState gRenderLog;

constexpr bool IsDeviceLoss(HRESULT hr) { return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET; }

}  // namespace

D3D11Renderer::D3D11Renderer(FramePacer& pacer) : pacer_(pacer), firstChoice_(FirstChoice()) {}

D3D11Renderer::~D3D11Renderer() {
    // What the device thread is making belongs to this object: it finishes first.
    deviceThread_.Finish(DeviceThread::kJobLimitMs);
    layered_.Detach();
    if (framesWindow_) ::DestroyWindow(framesWindow_);
}

D3D11Renderer::Presentation D3D11Renderer::FirstChoice() {
    char text[16] = {};
    const DWORD n = ::GetEnvironmentVariableA("QM_PRESENTATION", text, sizeof(text));
    if (n == 0 || n >= sizeof(text)) return Presentation::kComposition;
    if (std::strcmp(text, "layered") == 0) return Presentation::kLayered;
    if (std::strcmp(text, "swap-chain") == 0) return Presentation::kSwapChain;
    return Presentation::kComposition;
}

const wchar_t* D3D11Renderer::ModeName(Presentation mode) {
    switch (mode) {
        case Presentation::kComposition:
            return L"composition";
        case Presentation::kLayered:
            return L"layered";
        case Presentation::kSwapChain:
            break;
    }
    return L"swap chain";
}

ComPtr<IDXGIAdapter1> D3D11Renderer::AdapterForGame(HMONITOR gameMonitor) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::GetAdapter";
    if (GetGameConfiguration()->Byte(qm::GameConfiguration::kAdapterChoice) != 0) {
        QM_LOG_WARNING(kFn, L"Use default adapter");
        return nullptr;
    }
    if (!factory_ && FAILED(D3D11Backend::Current().CreateFactory(factory_.ReleaseAndGetAddressOf()))) {
        QM_LOG_WARNING(kFn, L"OOPO CreateDXGIFactory2 failed");
        return nullptr;
    }
    return ChooseAdapter(factory_.Get(), gameMonitor);
}

bool D3D11Renderer::AdapterChanged(HMONITOR gameMonitor) {
    if (deviceThread_.Busy()) return false;
    ComPtr<IDXGIAdapter1> wanted = AdapterForGame(gameMonitor);
    if (!wanted) return false;
    if (!adapter_) return true;
    DXGI_ADAPTER_DESC1 a{}, b{};
    wanted->GetDesc1(&a);
    adapter_->GetDesc1(&b);
    return a.AdapterLuid.LowPart != b.AdapterLuid.LowPart || a.AdapterLuid.HighPart != b.AdapterLuid.HighPart;
}

RenderEvents D3D11Renderer::TakeEvents() { return std::exchange(events_, RenderEvents{}); }

bool D3D11Renderer::Create(const RenderTarget& target) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitD3D";
    window_ = target.window;
    monitor_ = target.monitor;
    // The layered mode's swap chain window belongs to this thread, which answers what the system
    // sends it.
    if (firstChoice_ != Presentation::kSwapChain && !framesWindow_) {
        framesWindow_ = ::CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, L"STATIC", L"qm overlay frames", WS_POPUP,
                                          0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    }
    for (;;) {
        // The window keeps answering while the device thread works; what its messages ask of the
        // renderer meanwhile is refused.
        creating_ = true;
        const bool finished =
            deviceThread_.Start([this, monitor = monitor_] { built_ = Build(monitor); }) &&
            deviceThread_.Finish(DeviceThread::kJobLimitMs);
        creating_ = false;
        if (!finished) {
            QM_LOG_WARNING(kFn, L"the device was not made in %u ms", static_cast<unsigned>(DeviceThread::kJobLimitMs));
            return false;
        }
        if (!built_ || AttachWindow()) break;
        // The system refused the layered window: the regular swap chain over the overlay is left.
        QM_LOG_WARNING(kFn, L"UpdateLayeredWindow failed %u, presenting through the swap chain",
                       static_cast<unsigned>(::GetLastError()));
        firstChoice_ = Presentation::kSwapChain;
        ReleaseObjects();
    }
    if (!built_) return false;
    QM_LOG_INFO(kFn, 1, L"presentation: %s", ModeName(presentation_));
    ReadRefreshRate();
    return true;
}

bool D3D11Renderer::AttachWindow() {
    if (presentation_ != Presentation::kLayered) {
        layered_.Detach();
        return true;
    }
    layered_.ReleaseDeviceObjects();
    return layered_.Attached() || layered_.Attach(window_);
}

bool D3D11Renderer::Build(HMONITOR gameMonitor) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitD3D";
    adapter_.Reset();
    adapter_ = AdapterForGame(gameMonitor);
    DXGI_ADAPTER_DESC1 desc{};
    if (adapter_ && adapter_->GetDesc1(&desc) == S_OK) QM_LOG_INFO(kFn, 1, L"adapter info %s", desc.Description);
    if (firstChoice_ == Presentation::kComposition) {
        if (BuildComposition()) {
            presentation_ = Presentation::kComposition;
            WarmUp();
            return true;
        }
        QM_LOG_WARNING(kFn, L"DirectComposition initialization failed, falling back to regular swap chain");
    }
    // What a part-way composition attempt left is released before the fallback replaces it; the
    // device, when there is one, draws into the regular swap chain instead.
    compositionObjects_ = CompositionObjects{};
    cursor_.Release();
    renderTarget_.Reset();
    backBuffer_.Reset();
    swapChain_.Reset();
    const bool layered = firstChoice_ != Presentation::kSwapChain && framesWindow_;
    if (!BuildSwapChain(layered ? framesWindow_ : window_)) return false;
    presentation_ = layered ? Presentation::kLayered : Presentation::kSwapChain;
    // The layered window shows alpha, so the cursor is drawn there as over composition.
    if (layered && !cursor_.Init(device_.Get())) QM_LOG_WARNING(kFn, L"cursor rendering init failed");
    CreateRenderTarget(10, 10);
    WarmUp();
    return true;
}

bool D3D11Renderer::BuildSwapChain(HWND window) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitD3D";

    DXGI_SWAP_CHAIN_DESC sd{};
    sd.BufferDesc.Width = 10;
    sd.BufferDesc.Height = 10;
    sd.BufferDesc.RefreshRate = DXGI_RATIONAL{0, 1};
    sd.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.SampleDesc.Count = 1;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.BufferCount = 2;
    sd.OutputWindow = window;
    sd.Windowed = TRUE;
    sd.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    sd.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
    if (!Succeeded(D3D11Backend::Current().CreateDeviceAndSwapChain(adapter_.Get(), sd, swapChain_.GetAddressOf(),
                                                                     device_.GetAddressOf(), context_.GetAddressOf()),
                   kFn, L"OOPO D3D11CreateDeviceAndSwapChain")) {
        return false;
    }
    if (factory_) {
        factory_->MakeWindowAssociation(window, DXGI_MWA_NO_ALT_ENTER);
        factory_.Reset();
    }
    return true;
}

bool D3D11Renderer::BuildComposition() {
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
    if (!Succeeded(backend.CreateCompositionSwapChain(factory_.Get(), device_.Get(), window_, sd, &swapChain), kFn,
                   L"CreateSwapChainForComposition")) {
        return false;
    }
    swapChain_ = swapChain;
    factory_->MakeWindowAssociation(window_, DXGI_MWA_NO_ALT_ENTER);

    const wchar_t* failedStep = nullptr;
    const HRESULT composed = backend.Compose(window_, swapChain.Get(), &compositionObjects_, &failedStep);
    if (FAILED(composed)) {
        if (failedStep) Succeeded(composed, kFn, failedStep);
        return false;
    }
    CreateRenderTarget(10, 10);
    if (!cursor_.Init(device_.Get())) QM_LOG_WARNING(kFn, L"cursor rendering init failed");
    return true;
}

void D3D11Renderer::WarmUp() {
    // The first frame is where some systems set up presenting (Wine's own rendering thread, say,
    // for a good part of a second): it is shown here, transparent, and waited for, so that the
    // window's thread later finds it done. Presented directly: it is not one of the client's frames.
    if (!renderTarget_) return;
    const float clear[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    context_->ClearRenderTargetView(renderTarget_.Get(), clear);
    if (FAILED(swapChain_->Present(0, 0))) return;
    const D3D11_QUERY_DESC done{D3D11_QUERY_EVENT, 0};
    ComPtr<ID3D11Query> query;
    if (FAILED(device_->CreateQuery(&done, &query))) return;
    context_->End(query.Get());
    BOOL finished = FALSE;
    constexpr int kLimitMs = 2000;
    for (int ms = 0; ms < kLimitMs && context_->GetData(query.Get(), &finished, sizeof(finished), 0) == S_FALSE; ++ms) {
        ::Sleep(1);
    }
}

bool D3D11Renderer::CreateRenderTarget(uint32_t width, uint32_t height) {
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
    backBuffer_ = back;
    ID3D11RenderTargetView* views[] = {renderTarget_.Get()};
    context_->OMSetRenderTargets(1, views, nullptr);
    D3D11_VIEWPORT viewport{0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height), 0.0f, 0.0f};
    context_->RSSetViewports(1, &viewport);
    return true;
}

bool D3D11Renderer::DeviceLost() {
    if (!device_ || !context_) return true;
    if (lostReason_ == S_OK) lostReason_ = device_->GetDeviceRemovedReason();
    return lostReason_ != S_OK;
}

bool D3D11Renderer::RecreateDevice(uint32_t width, uint32_t height) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::RecreateDevice";
    constexpr int64_t kBackOffUs = 1000000;
    // How often a pass looks whether the device thread has finished.
    constexpr int64_t kLookAgainUs = 5000;
    const int64_t now = base::NowMicroseconds();
    if (deviceThread_.Busy()) {
        if (!deviceThread_.Finish(0)) {
            DelayNextPass(kLookAgainUs);
            return false;
        }
        if (!built_) {
            nextRecreateUs_ = now + kBackOffUs;
            DelayNextPass(kBackOffUs);
            return false;
        }
        ReadRefreshRate();
        layered_.ReleaseDeviceObjects();
        QM_LOG_INFO(kFn, 1, L"device re-created after %d tries", recreateTries_);
        events_.deviceRecreated = true;
        lostReason_ = S_OK;
        recreateTries_ = 0;
        suspended_ = true;  // the new swap chain is 10 x 10: the reset below must not be skipped
        return Resize(width, height, false);
    }
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
    const bool started = deviceThread_.Start([this, monitor = monitor_] {
        // Every try would repeat the same rows: the run logs once when it starts and once when it ends.
        LogMute mute;
        ReleaseObjects();
        built_ = Build(monitor);
        if (!built_) ReleaseObjects();
    });
    if (!started) {
        nextRecreateUs_ = now + kBackOffUs;
        DelayNextPass(kBackOffUs);
        return false;
    }
    DelayNextPass(kLookAgainUs);
    return false;
}

bool D3D11Renderer::Resize(uint32_t width, uint32_t height, bool again) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::ResetD3D";
    if (creating_ || width < 1 || height < 1) return false;
    // A device made again needs a size to make it for; before the first one there is none to lose.
    if (deviceThread_.Busy() || (width_ != 0 && DeviceLost())) return RecreateDevice(width, height);
    if (!context_) return false;
    // Skipped only at the size the back buffer has: a full-screen change asks again on its own, and
    // a device made anew has a size of none (its swap chain is 10 x 10) until its first resize.
    if (!suspended_ && !again && width == width_ && height == height_) {
        QM_LOG_INFO(kFn, 1, L"skip reset device (%d %d) - no update", width, height);
        return true;
    }
    if (gRenderLog.resetLoggingArmed) {
        QM_LOG_INFO(kFn, 1, L"Reset device (%d %d)", width, height);
        gRenderLog.resetLoggingArmed = false;
    }
    context_->OMSetRenderTargets(0, nullptr, nullptr);
    renderTarget_.Reset();
    backBuffer_.Reset();
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
    suspended_ = false;
    width_ = width;
    height_ = height;
    QM_LOG_INFO(kFn, 1, L"Reset device  complete (%d %d)", width, height);
    return true;
}

bool D3D11Renderer::RenderAndPresent(const FrameInput& frame) {
    // A new picture waits for the next frame that draws the cursor.
    cursorVersion_ = frame.cursorVersion;
    monitor_ = frame.monitor;
    if (deviceThread_.Busy() || !renderTarget_) return false;
    const uint32_t c = frame.backgroundColor;
    constexpr float kScale = 0.003921569f;
    const float colour[4] = {static_cast<float>((c >> 16) & 255) * kScale, static_cast<float>((c >> 8) & 255) * kScale,
                             static_cast<float>(c & 255) * kScale, static_cast<float>(c >> 24) * kScale};
    context_->ClearRenderTargetView(renderTarget_.Get(), colour);
    if (frame.controller) {
        // The client's share of the frame, for the statistics: a slow client is told from a slow host.
        const int64_t clientStart = base::NowMicroseconds();
        frame.controller->RenderOverlay(window_, swapChain_.Get());
        events_.clientUs = base::NowMicroseconds() - clientStart;
    }
    bool cursorDrawn = false;
    if (!frame.clickThrough) {
        CURSORINFO cursor{};
        cursor.cbSize = sizeof(cursor);
        if (::GetCursorInfo(&cursor) && (cursor.flags & CURSOR_SHOWING) == 0) {
            cursorDrawn = RenderCursor(frame.cursor);
        }
    }
    // The layered window takes the frame itself, without waiting for a vertical blank.
    const bool layered = presentation_ == Presentation::kLayered;
    const UINT sync = cursorDrawn || layered ? 0 : 1;
    const int64_t presentStart = base::NowMicroseconds();
    const HRESULT hr =
        layered ? D3D11Backend::Current().PresentLayered(layered_, device_.Get(), context_.Get(), backBuffer_.Get())
                : D3D11Backend::Current().Present(swapChain_.Get(), sync);
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
    const bool visible = ::IsWindowVisible(window_) != FALSE;
    if (IsDeviceLoss(hr)) {
        suspended_ = true;
        lostReason_ = hr;
    }
    if (gRenderLog.lastPresentSucceeded) {
        QM_LOG_WARNING(L"D3D11OOPManager::Render", L"Present error 0x%x (%d) (v:%d)", static_cast<unsigned>(hr),
                       suspended_ ? 1 : 0, visible ? 1 : 0);
        gRenderLog.lastPresentSucceeded = false;
    }
    return !suspended_;
}

bool D3D11Renderer::RenderCursor(const CursorImage* image) {
    const bool changed = cursorVersion_ != drawnCursorVersion_;
    drawnCursorVersion_ = cursorVersion_;
    return cursor_.Draw(device_.Get(), context_.Get(), renderTarget_.Get(), image, changed,
                        OOPHooksManager::LastMousePosition(), width_, height_);
}

void D3D11Renderer::ReadRefreshRate() {
    HMONITOR monitor = monitor_;
    if (!monitor) monitor = ::MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST);
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

void D3D11Renderer::Release() {
    // A job still running owns the objects: it finishes first, or they are left to it.
    if (!deviceThread_.Finish(DeviceThread::kJobLimitMs)) return;
    ReleaseObjects();
    layered_.ReleaseDeviceObjects();
    // The next device's swap chain starts at 10 x 10: its first resize must not be skipped.
    width_ = 0;
    height_ = 0;
}

void D3D11Renderer::ReleaseObjects() {
    QM_LOG_INFO(L"D3D11OOPManager::ShutdownD3D", 1, L"releasing d3d11 device");
    cursor_.Release();
    compositionObjects_.visual.Reset();
    compositionObjects_.target.Reset();
    compositionObjects_.device.Reset();
    adapter_.Reset();
    swapChain_.Reset();
    device_.Reset();
    context_.Reset();
    renderTarget_.Reset();
    backBuffer_.Reset();
}
