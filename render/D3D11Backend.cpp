#include "render/D3D11Backend.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "common/DllHelper.h"
#include "logging/Log.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr D3D_FEATURE_LEVEL kFeatureLevels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};

D3D_DRIVER_TYPE DriverTypeFor(IDXGIAdapter1* adapter) {
    return adapter ? D3D_DRIVER_TYPE_UNKNOWN : D3D_DRIVER_TYPE_HARDWARE;
}

using CreateCompositionDeviceFn = HRESULT(WINAPI*)(IDXGIDevice*, REFIID, void**);

CreateCompositionDeviceFn CompositionEntry() {
    // Loaded once per process and never unloaded.
    static HMODULE library = nullptr;
    static CreateCompositionDeviceFn entry = nullptr;
    static std::once_flag once;
    static DWORD loadError = 0;
    std::call_once(once, [] {
        library = base::dll_helper::LoadSystemLibrary(L"dcomp.dll");
        if (!library) {
            loadError = ::GetLastError();
            return;
        }
        entry = reinterpret_cast<CreateCompositionDeviceFn>(
            reinterpret_cast<void*>(::GetProcAddress(library, "DCompositionCreateDevice")));
    });
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitD3DDComp";
    if (!library) {
        QM_LOG_WARNING(kFn, L"LoadLibrary dcomp.dll failed 0x%x", static_cast<unsigned>(loadError));
    } else if (!entry) {
        QM_LOG_WARNING(kFn, L"GetProcAddress DCompositionCreateDevice failed");
    }
    return entry;
}

// A device that is lost while the host runs, for runs of the real executable:
// QM_TEST_DEVICE_REMOVED="<frames>,<failures>" reports the device removed at the present after
// <frames> good ones, then fails that many tries to make it again before the system's own work.
class RemovedDeviceBackend final : public D3D11Backend {
public:
    RemovedDeviceBackend(long frames, long failures) : framesLeft_(frames), failuresLeft_(failures) {}

    // A try fails at both paths and counts once, at its last step.
    HRESULT CreateDevice(IDXGIAdapter1* adapter, ID3D11Device** device, ID3D11DeviceContext** context) override {
        if (removed_ && failuresLeft_ > 0) return DXGI_ERROR_DEVICE_REMOVED;
        return D3D11Backend::CreateDevice(adapter, device, context);
    }
    HRESULT CreateDeviceAndSwapChain(IDXGIAdapter1* adapter, const DXGI_SWAP_CHAIN_DESC& desc,
                                     IDXGISwapChain** swapChain, ID3D11Device** device,
                                     ID3D11DeviceContext** context) override {
        if (Failing()) return DXGI_ERROR_DEVICE_REMOVED;
        return D3D11Backend::CreateDeviceAndSwapChain(adapter, desc, swapChain, device, context);
    }
    HRESULT Present(IDXGISwapChain* swapChain, UINT syncInterval) override {
        if (Remove()) return DXGI_ERROR_DEVICE_REMOVED;
        return D3D11Backend::Present(swapChain, syncInterval);
    }
    HRESULT PresentLayered(LayeredPresenter& presenter, ID3D11Device* device, ID3D11DeviceContext* context,
                           ID3D11Texture2D* back) override {
        if (Remove()) return DXGI_ERROR_DEVICE_REMOVED;
        return D3D11Backend::PresentLayered(presenter, device, context, back);
    }

private:
    bool Remove() {
        if (framesLeft_ < 0 || framesLeft_-- != 0) return false;
        removed_ = true;
        return true;
    }
    bool Failing() {
        if (!removed_ || failuresLeft_ <= 0) return false;
        --failuresLeft_;
        return true;
    }
    long framesLeft_;
    long failuresLeft_;
    bool removed_ = false;
};

D3D11Backend* InitialBackend() {
    static D3D11Backend system;
    char text[32] = {};
    const DWORD n = ::GetEnvironmentVariableA("QM_TEST_DEVICE_REMOVED", text, sizeof(text));
    if (n == 0 || n >= sizeof(text)) return &system;
    char* rest = nullptr;
    const long frames = std::strtol(text, &rest, 10);
    const long failures = *rest == ',' ? std::strtol(rest + 1, nullptr, 10) : 0;
    static RemovedDeviceBackend removed(frames < 0 ? 0 : frames, failures < 0 ? 0 : failures);
    return &removed;
}

std::atomic<D3D11Backend*> gReplacement{nullptr};

}  // namespace

HRESULT D3D11Backend::CreateFactory(IDXGIFactory2** factory) {
    return ::CreateDXGIFactory1(__uuidof(IDXGIFactory2), reinterpret_cast<void**>(factory));
}

HRESULT D3D11Backend::CreateDevice(IDXGIAdapter1* adapter, ID3D11Device** device, ID3D11DeviceContext** context) {
    D3D_FEATURE_LEVEL achieved{};
    return ::D3D11CreateDevice(adapter, DriverTypeFor(adapter), nullptr, 0, kFeatureLevels, 2, D3D11_SDK_VERSION, device,
                               &achieved, context);
}

HRESULT D3D11Backend::CreateDeviceAndSwapChain(IDXGIAdapter1* adapter, const DXGI_SWAP_CHAIN_DESC& desc,
                                               IDXGISwapChain** swapChain, ID3D11Device** device,
                                               ID3D11DeviceContext** context) {
    if (*device) {
        // The device exists: only its swap chain, from the factory that made its adapter.
        ComPtr<IDXGIDevice> dxgiDevice;
        ComPtr<IDXGIAdapter> deviceAdapter;
        ComPtr<IDXGIFactory> factory;
        HRESULT hr = (*device)->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(dxgiDevice.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = dxgiDevice->GetAdapter(&deviceAdapter);
        if (SUCCEEDED(hr)) hr = deviceAdapter->GetParent(__uuidof(IDXGIFactory), reinterpret_cast<void**>(factory.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = factory->CreateSwapChain(*device, const_cast<DXGI_SWAP_CHAIN_DESC*>(&desc), swapChain);
        if (SUCCEEDED(hr) && !*context) (*device)->GetImmediateContext(context);
        return hr;
    }
    D3D_FEATURE_LEVEL achieved{};
    return ::D3D11CreateDeviceAndSwapChain(adapter, DriverTypeFor(adapter), nullptr, 0, kFeatureLevels, 2,
                                           D3D11_SDK_VERSION, &desc, swapChain, device, &achieved, context);
}

HRESULT D3D11Backend::CreateCompositionSwapChain(IDXGIFactory2* factory, ID3D11Device* device, HWND,
                                                 const DXGI_SWAP_CHAIN_DESC1& desc, IDXGISwapChain1** swapChain) {
    return factory->CreateSwapChainForComposition(device, &desc, nullptr, swapChain);
}

HRESULT D3D11Backend::Compose(HWND window, IDXGISwapChain1* swapChain, CompositionObjects* out,
                              const wchar_t** failedStep) {
    *failedStep = nullptr;
    const CreateCompositionDeviceFn create = CompositionEntry();
    if (!create) return E_NOINTERFACE;  // logged where the library is loaded
    HRESULT hr = create(nullptr, __uuidof(IDCompositionDevice),
                        reinterpret_cast<void**>(out->device.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) return *failedStep = L"DCompositionCreateDevice", hr;
    hr = out->device->CreateTargetForHwnd(window, TRUE, out->target.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return *failedStep = L"CreateTargetForHwnd", hr;
    hr = out->device->CreateVisual(out->visual.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return *failedStep = L"CreateVisual", hr;
    hr = out->visual->SetContent(swapChain);
    if (FAILED(hr)) return *failedStep = L"SetContent", hr;
    hr = out->target->SetRoot(out->visual.Get());
    if (FAILED(hr)) return *failedStep = L"SetRoot", hr;
    hr = out->device->Commit();
    if (FAILED(hr)) return *failedStep = L"DComp Commit", hr;
    return S_OK;
}

HRESULT D3D11Backend::Present(IDXGISwapChain* swapChain, UINT syncInterval) {
    return swapChain->Present(syncInterval, 0);
}

D3D11Backend& D3D11Backend::Current() {
    static D3D11Backend* const initial = InitialBackend();
    D3D11Backend* replacement = gReplacement.load();
    return replacement ? *replacement : *initial;
}

void D3D11Backend::Set(D3D11Backend* backend) { gReplacement = backend; }
