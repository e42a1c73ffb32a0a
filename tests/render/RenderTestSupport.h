#pragma once
// Helpers of the renderer tests: building blocks for stand-in COM objects, and reading a swap
// chain's back buffer.
#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

namespace test {

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

// IUnknown for a single-interface object; the host never asks these for other interfaces.
template <typename I>
class Unknown : public I {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == __uuidof(IUnknown)) {
            *out = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    virtual ~Unknown() = default;

private:
    ULONG refs_ = 1;
};

// A DXGI object that wraps a real one: it answers for I and the interfaces I derives from (`Bases`),
// hands every other query and the IDXGIObject calls to the real object. Derived classes forward
// or replace the rest.
template <typename I, typename... Bases>
class DxgiWrapper : public I {
public:
    explicit DxgiWrapper(I* real) : real_(real) {}
    virtual ~DxgiWrapper() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IDXGIObject) || riid == __uuidof(I) ||
            ((riid == __uuidof(Bases)) || ...)) {
            *out = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        return real_->QueryInterface(riid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID g, UINT n, const void* d) override { return real_->SetPrivateData(g, n, d); }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID g, const IUnknown* u) override {
        return real_->SetPrivateDataInterface(g, u);
    }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID g, UINT* n, void* d) override { return real_->GetPrivateData(g, n, d); }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** out) override { return real_->GetParent(riid, out); }

protected:
    Microsoft::WRL::ComPtr<I> real_;

private:
    ULONG refs_ = 1;
};

}  // namespace test
