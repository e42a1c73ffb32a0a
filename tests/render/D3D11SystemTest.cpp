// What the Direct3D 11 manager asks of the system where Wine has less, run with stand-ins: a factory
// that makes the "composition" swap chain as a flip-model swap chain of the overlay window, and a
// composition device whose steps can be told to fail, and adapters of chosen vendors and monitors.
#include <windows.h>

#include <d3d11.h>
#include <dcomp.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "render/D3D11OOPManager.h"
#include "tests/render/RenderTestSupport.h"

using Microsoft::WRL::ComPtr;

namespace {

// Which composition step fails (0: none), and what reached the fakes.
enum Step { kNone, kCreateSwapChain, kCreateDevice, kTarget, kVisual, kContent, kRoot, kCommit };
Step gFailAt = kNone;
HWND gTargetWindow = nullptr;
IUnknown* gContent = nullptr;
bool gCommitted = false;

HRESULT Fails(Step step) { return gFailAt == step ? E_FAIL : S_OK; }

using test::Unknown;

#define NOT_USED { return E_NOTIMPL; }

class FakeVisual final : public Unknown<IDCompositionVisual> {
public:
    HRESULT STDMETHODCALLTYPE SetOffsetX(IDCompositionAnimation*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetOffsetX(float) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetOffsetY(IDCompositionAnimation*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetOffsetY(float) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetTransform(IDCompositionTransform*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetTransform(const D2D_MATRIX_3X2_F&) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetTransformParent(IDCompositionVisual*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetEffect(IDCompositionEffect*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetBitmapInterpolationMode(DCOMPOSITION_BITMAP_INTERPOLATION_MODE) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetBorderMode(DCOMPOSITION_BORDER_MODE) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetClip(IDCompositionClip*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetClip(const D2D_RECT_F&) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetContent(IUnknown* content) override {
        gContent = content;
        return Fails(kContent);
    }
    HRESULT STDMETHODCALLTYPE AddVisual(IDCompositionVisual*, BOOL, IDCompositionVisual*) override NOT_USED
    HRESULT STDMETHODCALLTYPE RemoveVisual(IDCompositionVisual*) override NOT_USED
    HRESULT STDMETHODCALLTYPE RemoveAllVisuals() override NOT_USED
    HRESULT STDMETHODCALLTYPE SetCompositeMode(DCOMPOSITION_COMPOSITE_MODE) override NOT_USED
};

class FakeTarget final : public Unknown<IDCompositionTarget> {
public:
    HRESULT STDMETHODCALLTYPE SetRoot(IDCompositionVisual*) override { return Fails(kRoot); }
};

class FakeCompositionDevice final : public Unknown<IDCompositionDevice> {
public:
    HRESULT STDMETHODCALLTYPE Commit() override {
        gCommitted = gFailAt != kCommit;
        return Fails(kCommit);
    }
    HRESULT STDMETHODCALLTYPE WaitForCommitCompletion() override NOT_USED
    HRESULT STDMETHODCALLTYPE GetFrameStatistics(DCOMPOSITION_FRAME_STATISTICS*) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateTargetForHwnd(HWND window, BOOL, IDCompositionTarget** target) override {
        gTargetWindow = window;
        if (gFailAt == kTarget) return E_FAIL;
        *target = new FakeTarget;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateVisual(IDCompositionVisual** visual) override {
        if (gFailAt == kVisual) return E_FAIL;
        *visual = new FakeVisual;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateSurface(UINT, UINT, DXGI_FORMAT, DXGI_ALPHA_MODE, IDCompositionSurface**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateVirtualSurface(UINT, UINT, DXGI_FORMAT, DXGI_ALPHA_MODE,
                                                   IDCompositionVirtualSurface**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateSurfaceFromHandle(HANDLE, IUnknown**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateSurfaceFromHwnd(HWND, IUnknown**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateTranslateTransform(IDCompositionTranslateTransform**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateScaleTransform(IDCompositionScaleTransform**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateRotateTransform(IDCompositionRotateTransform**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateSkewTransform(IDCompositionSkewTransform**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateMatrixTransform(IDCompositionMatrixTransform**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateTransformGroup(IDCompositionTransform**, UINT, IDCompositionTransform**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateTranslateTransform3D(IDCompositionTranslateTransform3D**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateScaleTransform3D(IDCompositionScaleTransform3D**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateRotateTransform3D(IDCompositionRotateTransform3D**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateMatrixTransform3D(IDCompositionMatrixTransform3D**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateTransform3DGroup(IDCompositionTransform3D**, UINT, IDCompositionTransform3D**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateEffectGroup(IDCompositionEffectGroup**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateRectangleClip(IDCompositionRectangleClip**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CreateAnimation(IDCompositionAnimation**) override NOT_USED
    HRESULT STDMETHODCALLTYPE CheckDeviceState(BOOL*) override NOT_USED
};

HRESULT WINAPI FakeCreateCompositionDevice(IDXGIDevice* dxgiDevice, REFIID riid, void** out) {
    EXPECT_EQ(dxgiDevice, nullptr);
    EXPECT_TRUE(riid == __uuidof(IDCompositionDevice));
    if (gFailAt == kCreateDevice) return E_FAIL;
    *out = static_cast<IDCompositionDevice*>(new FakeCompositionDevice);
    return S_OK;
}
D3D11System::CreateCompositionDevice CompositionEntry() { return &FakeCreateCompositionDevice; }
D3D11System::CreateCompositionDevice MissingCompositionLibrary() { return nullptr; }

// The system's factory, except that composition swap chains become flip-model swap chains of the
// window the test names.
HWND gSwapChainWindow = nullptr;
DXGI_SWAP_CHAIN_DESC1 gCompositionDesc{};

class FakeFactory : public test::DxgiWrapper<IDXGIFactory2, IDXGIFactory, IDXGIFactory1> {
public:
    using DxgiWrapper::DxgiWrapper;
    HRESULT STDMETHODCALLTYPE EnumAdapters(UINT i, IDXGIAdapter** a) override { return real_->EnumAdapters(i, a); }
    HRESULT STDMETHODCALLTYPE MakeWindowAssociation(HWND w, UINT f) override { return real_->MakeWindowAssociation(w, f); }
    HRESULT STDMETHODCALLTYPE GetWindowAssociation(HWND* w) override { return real_->GetWindowAssociation(w); }
    HRESULT STDMETHODCALLTYPE CreateSwapChain(IUnknown* d, DXGI_SWAP_CHAIN_DESC* s, IDXGISwapChain** o) override {
        return real_->CreateSwapChain(d, s, o);
    }
    HRESULT STDMETHODCALLTYPE CreateSoftwareAdapter(HMODULE m, IDXGIAdapter** a) override {
        return real_->CreateSoftwareAdapter(m, a);
    }
    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT i, IDXGIAdapter1** a) override { return real_->EnumAdapters1(i, a); }
    BOOL STDMETHODCALLTYPE IsCurrent() override { return real_->IsCurrent(); }
    BOOL STDMETHODCALLTYPE IsWindowedStereoEnabled() override { return FALSE; }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForHwnd(IUnknown* d, HWND w, const DXGI_SWAP_CHAIN_DESC1* s,
                                                     const DXGI_SWAP_CHAIN_FULLSCREEN_DESC* f, IDXGIOutput* o,
                                                     IDXGISwapChain1** out) override {
        return real_->CreateSwapChainForHwnd(d, w, s, f, o, out);
    }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForCoreWindow(IUnknown*, IUnknown*, const DXGI_SWAP_CHAIN_DESC1*,
                                                           IDXGIOutput*, IDXGISwapChain1**) override NOT_USED
    HRESULT STDMETHODCALLTYPE GetSharedResourceAdapterLuid(HANDLE, LUID*) override NOT_USED
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusWindow(HWND, UINT, DWORD*) override NOT_USED
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusEvent(HANDLE, DWORD*) override NOT_USED
    void STDMETHODCALLTYPE UnregisterStereoStatus(DWORD) override {}
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusWindow(HWND, UINT, DWORD*) override NOT_USED
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusEvent(HANDLE, DWORD*) override NOT_USED
    void STDMETHODCALLTYPE UnregisterOcclusionStatus(DWORD) override {}
    HRESULT STDMETHODCALLTYPE CreateSwapChainForComposition(IUnknown* device, const DXGI_SWAP_CHAIN_DESC1* desc,
                                                            IDXGIOutput* output, IDXGISwapChain1** out) override {
        gCompositionDesc = *desc;
        if (gFailAt == kCreateSwapChain) return E_FAIL;
        DXGI_SWAP_CHAIN_DESC1 windowed = *desc;
        windowed.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
        return real_->CreateSwapChainForHwnd(device, gSwapChainWindow, &windowed, nullptr, output, out);
    }
};

// IDXGIObject for the stand-in adapters and outputs.
#define DXGI_OBJECT_NOT_USED                                                                                  \
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override NOT_USED                    \
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override NOT_USED             \
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override NOT_USED                         \
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void**) override NOT_USED

class FakeOutput final : public Unknown<IDXGIOutput> {
public:
    explicit FakeOutput(HMONITOR monitor) : monitor_(monitor) {}
    DXGI_OBJECT_NOT_USED
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override {
        *desc = DXGI_OUTPUT_DESC{};
        desc->Monitor = monitor_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDisplayModeList(DXGI_FORMAT, UINT, UINT*, DXGI_MODE_DESC*) override NOT_USED
    HRESULT STDMETHODCALLTYPE FindClosestMatchingMode(const DXGI_MODE_DESC*, DXGI_MODE_DESC*, IUnknown*) override NOT_USED
    HRESULT STDMETHODCALLTYPE WaitForVBlank() override NOT_USED
    HRESULT STDMETHODCALLTYPE TakeOwnership(IUnknown*, BOOL) override NOT_USED
    void STDMETHODCALLTYPE ReleaseOwnership() override {}
    HRESULT STDMETHODCALLTYPE GetGammaControlCapabilities(DXGI_GAMMA_CONTROL_CAPABILITIES*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetGammaControl(const DXGI_GAMMA_CONTROL*) override NOT_USED
    HRESULT STDMETHODCALLTYPE GetGammaControl(DXGI_GAMMA_CONTROL*) override NOT_USED
    HRESULT STDMETHODCALLTYPE SetDisplaySurface(IDXGISurface*) override NOT_USED
    HRESULT STDMETHODCALLTYPE GetDisplaySurfaceData(IDXGISurface*) override NOT_USED
    HRESULT STDMETHODCALLTYPE GetFrameStatistics(DXGI_FRAME_STATISTICS*) override NOT_USED

private:
    HMONITOR monitor_;
};

// An adapter of one vendor, driving the given monitors; its LUID is its vendor.
class FakeAdapter final : public Unknown<IDXGIAdapter1> {
public:
    FakeAdapter(UINT vendor, std::vector<HMONITOR> monitors) : vendor_(vendor), monitors_(std::move(monitors)) {}
    DXGI_OBJECT_NOT_USED
    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT i, IDXGIOutput** output) override {
        if (i >= monitors_.size()) return DXGI_ERROR_NOT_FOUND;
        *output = new FakeOutput(monitors_[i]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_ADAPTER_DESC*) override NOT_USED
    HRESULT STDMETHODCALLTYPE CheckInterfaceSupport(REFGUID, LARGE_INTEGER*) override NOT_USED
    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override {
        *desc = DXGI_ADAPTER_DESC1{};
        desc->VendorId = vendor_;
        desc->AdapterLuid.LowPart = vendor_;
        return S_OK;
    }

private:
    UINT vendor_;
    std::vector<HMONITOR> monitors_;
};

// The adapters a test lists, in order.
std::vector<std::pair<UINT, std::vector<HMONITOR>>> gAdapters;

class AdapterListFactory final : public FakeFactory {
public:
    using FakeFactory::FakeFactory;
    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT i, IDXGIAdapter1** adapter) override {
        if (i >= gAdapters.size()) return DXGI_ERROR_NOT_FOUND;
        *adapter = new FakeAdapter(gAdapters[i].first, gAdapters[i].second);
        return S_OK;
    }
};

HRESULT WINAPI AdapterListCreateFactory(REFIID riid, void** out) {
    ComPtr<IDXGIFactory2> real;
    const HRESULT hr = ::CreateDXGIFactory1(__uuidof(IDXGIFactory2), reinterpret_cast<void**>(real.GetAddressOf()));
    if (FAILED(hr)) return hr;
    auto* fake = new AdapterListFactory(real.Get());
    const HRESULT q = fake->QueryInterface(riid, out);
    fake->Release();
    return q;
}

HRESULT WINAPI FakeCreateFactory(REFIID riid, void** out) {
    ComPtr<IDXGIFactory2> real;
    const HRESULT hr = ::CreateDXGIFactory1(__uuidof(IDXGIFactory2), reinterpret_cast<void**>(real.GetAddressOf()));
    if (FAILED(hr)) return hr;
    auto* fake = new FakeFactory(real.Get());
    const HRESULT q = fake->QueryInterface(riid, out);
    fake->Release();
    return q;
}

class CompositionManager : public D3D11OOPManager {
public:
    // The monitor the window manager reports for the game.
    void OnMonitor(HMONITOR monitor) {
        windowManager_.SetOwner(this);
        windowManager_.SetMonitor(monitor);
    }
    CompositionManager() {
        overlayWindow_ = ::CreateWindowExW(0, L"STATIC", L"qm composition test", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300,
                                           nullptr, nullptr, nullptr, nullptr);
        gSwapChainWindow = overlayWindow_;
        minimized_ = false;
    }
    ~CompositionManager() override {
        ShutdownD3D();
        ::DestroyWindow(overlayWindow_);
    }
};

// The fake system for one test, put back at the end.
struct FakeComposition {
    D3D11System system = D3D11System::Current();
    explicit FakeComposition(Step failAt, D3D11System::CreateCompositionDevice (*entry)() = &CompositionEntry) {
        gFailAt = failAt;
        gTargetWindow = nullptr;
        gContent = nullptr;
        gCommitted = false;
        system.createFactory = &FakeCreateFactory;
        system.compositionEntry = entry;
        D3D11System::Set(&system);
    }
    ~FakeComposition() { D3D11System::Set(nullptr); }
};

}  // namespace

TEST(CompositionPath, TheWholePathSetsTheFlagTheStyleAndTheCursor) {
    FakeComposition fake(kNone);
    CompositionManager m;
    ASSERT_TRUE(m.InitD3D());
    EXPECT_TRUE(m.UsesComposition());
    EXPECT_EQ(m.GetWindowExStyle(), static_cast<uint32_t>(WS_EX_NOREDIRECTIONBITMAP));
    EXPECT_TRUE(m.CursorRenderingReady());
    EXPECT_EQ(gTargetWindow, m.OverlayWindow());
    EXPECT_EQ(gContent, m.SwapChain());
    EXPECT_TRUE(gCommitted);
    // The composition swap chain as described: 10 x 10, flip model, premultiplied alpha.
    EXPECT_EQ(gCompositionDesc.Width, 10u);
    EXPECT_EQ(gCompositionDesc.Height, 10u);
    EXPECT_EQ(gCompositionDesc.Format, DXGI_FORMAT_R8G8B8A8_UNORM);
    EXPECT_EQ(gCompositionDesc.BufferCount, 2u);
    EXPECT_EQ(gCompositionDesc.SwapEffect, DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL);
    EXPECT_EQ(gCompositionDesc.AlphaMode, DXGI_ALPHA_MODE_PREMULTIPLIED);
    EXPECT_EQ(gCompositionDesc.Scaling, DXGI_SCALING_STRETCH);
    m.SetAdapterCheckPending();
    EXPECT_FALSE(m.IsAdapterChanged());
}

TEST(CompositionPath, EachFailingStepFallsBackToTheRegularSwapChain) {
    for (Step step : {kCreateSwapChain, kCreateDevice, kTarget, kVisual, kContent, kRoot, kCommit}) {
        FakeComposition fake(step);
        CompositionManager m;
        ASSERT_TRUE(m.InitD3D()) << step;
        EXPECT_FALSE(m.UsesComposition()) << step;
        EXPECT_EQ(m.GetWindowExStyle(), 0u) << step;
        EXPECT_FALSE(m.CursorRenderingReady()) << step;
        DXGI_SWAP_CHAIN_DESC d{};
        m.SwapChain()->GetDesc(&d);
        EXPECT_EQ(d.SwapEffect, DXGI_SWAP_EFFECT_DISCARD) << step;
    }
    FakeComposition noLibrary(kNone, &MissingCompositionLibrary);
    CompositionManager m;
    ASSERT_TRUE(m.InitD3D());
    EXPECT_FALSE(m.UsesComposition());
}

TEST(AdapterChoice, TheTwoVendorsWinOnTheGamesMonitorElseTheFirstThatDrivesIt) {
    D3D11System system = D3D11System::Current();
    system.createFactory = &AdapterListCreateFactory;
    D3D11System::Set(&system);
    const auto M = reinterpret_cast<HMONITOR>(0x1001);
    const auto N = reinterpret_cast<HMONITOR>(0x2002);
    const auto chosen = [](CompositionManager& m) -> UINT {
        ComPtr<IDXGIAdapter1> a = m.GetAdapter();
        if (!a) return 0;
        DXGI_ADAPTER_DESC1 d{};
        a->GetDesc1(&d);
        return d.VendorId;
    };
    CompositionManager m;
    m.OnMonitor(M);

    gAdapters = {{0x8086, {M}}, {0x10DE, {N, M}}};
    EXPECT_EQ(chosen(m), 0x10DEu);
    gAdapters = {{0x8086, {M}}, {0x1002, {M}}};
    EXPECT_EQ(chosen(m), 0x1002u);
    gAdapters = {{0x10DE, {N}}, {0x8086, {}}, {0x1234, {M}}, {0x5678, {M}}};
    EXPECT_EQ(chosen(m), 0x1234u);  // neither vendor drives the monitor: the first that does
    gAdapters = {{0x10DE, {N}}, {0x8086, {}}};
    EXPECT_EQ(chosen(m), 0u);  // nothing drives it: the default adapter

    CompositionManager anyMonitor;  // no monitor known yet: every output matches
    gAdapters = {{0x8086, {N}}, {0x10DE, {M}}};
    EXPECT_EQ(chosen(anyMonitor), 0x10DEu);
    gAdapters.clear();
    D3D11System::Set(nullptr);
}
