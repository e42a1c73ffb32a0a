#pragma once
#include <windows.h>

#include <d3d11.h>
#include <dcomp.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include "render/LayeredPresenter.h"

// The objects that put a composition swap chain on the overlay window.
struct CompositionObjects {
    Microsoft::WRL::ComPtr<IDCompositionDevice> device;
    Microsoft::WRL::ComPtr<IDCompositionTarget> target;
    Microsoft::WRL::ComPtr<IDCompositionVisual> visual;
};

// What the renderer asks of the system, in the renderer's own terms: a stand-in replaces the whole
// of it where the system has less (no composition under Wine) or to make a device fail.
class D3D11Backend {
public:
    virtual HRESULT CreateFactory(IDXGIFactory2** factory);
    virtual HRESULT CreateDevice(IDXGIAdapter1* adapter, ID3D11Device** device, ID3D11DeviceContext** context);
    // The window's swap chain; with no device in *device, a device and its context are made with it.
    virtual HRESULT CreateDeviceAndSwapChain(IDXGIAdapter1* adapter, const DXGI_SWAP_CHAIN_DESC& desc,
                                             IDXGISwapChain** swapChain, ID3D11Device** device,
                                             ID3D11DeviceContext** context);
    virtual HRESULT CreateCompositionSwapChain(IDXGIFactory2* factory, ID3D11Device* device, HWND window,
                                               const DXGI_SWAP_CHAIN_DESC1& desc, IDXGISwapChain1** swapChain);
    // Shows the swap chain in the window. On failure *failedStep names the step for the row
    // "<step> failed 0x%x", or is null when the reason has been logged already.
    virtual HRESULT Compose(HWND window, IDXGISwapChain1* swapChain, CompositionObjects* out,
                            const wchar_t** failedStep);
    virtual HRESULT Present(IDXGISwapChain* swapChain, UINT syncInterval);
    // A frame through the layered window instead of the swap chain.
    virtual HRESULT PresentLayered(LayeredPresenter& presenter, ID3D11Device* device, ID3D11DeviceContext* context,
                                   ID3D11Texture2D* back) {
        return presenter.Present(device, context, back);
    }

    // The one in use: the system's, unless replaced (null puts the system's back).
    static D3D11Backend& Current();
    static void Set(D3D11Backend* backend);

    virtual ~D3D11Backend() = default;
};
