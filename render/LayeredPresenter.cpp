#include "render/LayeredPresenter.h"

#include <algorithm>
#include <cstring>

namespace {
// WS_EX_LAYERED cleared and set again: the window forgets how it was layered (constant alpha, or
// a picture of its own), and its styles end as they were.
void LayerAnew(HWND window) {
    const LONG style = ::GetWindowLongW(window, GWL_EXSTYLE);
    ::SetWindowLongW(window, GWL_EXSTYLE, style & ~WS_EX_LAYERED);
    ::SetWindowLongW(window, GWL_EXSTYLE, style | WS_EX_LAYERED);
}
}  // namespace

bool LayeredPresenter::Attach(HWND window) {
    if (!window) return false;
    // A window whose layered attributes were set ignores UpdateLayeredWindow until then.
    LayerAnew(window);
    window_ = window;
    RECT client{};
    ::GetClientRect(window, &client);
    const uint32_t width = static_cast<uint32_t>(client.right > 1 ? client.right : 1);
    const uint32_t height = static_cast<uint32_t>(client.bottom > 1 ? client.bottom : 1);
    if (FitBitmap(width, height)) {
        std::memset(bits_, 0, size_t(width) * height * 4);
        if (Show(width, height, RECT{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)})) return true;
    }
    Detach();
    return false;
}

void LayeredPresenter::Detach() {
    ReleaseDeviceObjects();
    ReleaseBitmap();
    if (!window_) return;
    LayerAnew(window_);
    ::SetLayeredWindowAttributes(window_, 0, 255, LWA_ALPHA);
    window_ = nullptr;
}

HRESULT LayeredPresenter::Present(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* back) {
    if (!window_ || !device || !context || !back) return E_POINTER;
    D3D11_TEXTURE2D_DESC desc{};
    back->GetDesc(&desc);
    const bool swap = desc.Format == DXGI_FORMAT_R8G8B8A8_UNORM;
    if ((!swap && desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM) || !FitStaging(device, desc) ||
        !FitBitmap(desc.Width, desc.Height)) {
        return E_FAIL;
    }
    context->CopyResource(staging_.Get(), back);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT read = context->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(read)) return read;
    // A bitmap is blue, green, red, alpha in memory; both are premultiplied already. The rows that
    // differ from the bitmap's last frame are the ones to show.
    const LONG width = static_cast<LONG>(desc.Width);
    RECT dirty{0, static_cast<LONG>(desc.Height), width, 0};
    for (uint32_t y = 0; y < desc.Height; ++y) {
        const auto* from = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(mapped.pData) + size_t(y) * mapped.RowPitch);
        uint32_t* to = bits_ + size_t(y) * desc.Width;
        uint32_t differs = 0;
        if (!swap) {
            for (uint32_t x = 0; x < desc.Width; ++x) differs |= to[x] ^ from[x];
            if (differs) std::memcpy(to, from, size_t(desc.Width) * 4);
        } else {
            for (uint32_t x = 0; x < desc.Width; ++x) {
                const uint32_t p = from[x];
                const uint32_t bgra = (p & 0xFF00FF00u) | ((p & 0xFFu) << 16) | ((p >> 16) & 0xFFu);
                differs |= to[x] ^ bgra;
                to[x] = bgra;
            }
        }
        if (!differs) continue;
        dirty.top = std::min(dirty.top, static_cast<LONG>(y));
        dirty.bottom = static_cast<LONG>(y) + 1;
    }
    context->Unmap(staging_.Get(), 0);
    constexpr uint64_t kWholeEveryMs = 1000;
    constexpr uint64_t kAfterShownMs = 2000;
    constexpr uint64_t kLayeredAnewEveryMs = 250;
    const uint64_t now = ::GetTickCount64();
    const bool layeredAnew = shownTick_ != 0 && now - shownTick_ < kAfterShownMs && now - layeredAnewTick_ >= kLayeredAnewEveryMs;
    const bool whole = wholePending_ || layeredAnew || now - wholeShownTick_ >= kWholeEveryMs;
    if (whole) dirty = RECT{0, 0, width, static_cast<LONG>(desc.Height)};
    // Nothing new: the window keeps the picture it has.
    if (dirty.bottom <= dirty.top) return S_OK;
    if (layeredAnew) {
        layeredAnewTick_ = now;
        LayerAnew(window_);
    }
    if (Show(desc.Width, desc.Height, dirty)) {
        if (whole) wholeShownTick_ = now;
        wholePending_ = false;
        return S_OK;
    }
    const DWORD error = ::GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool LayeredPresenter::FitStaging(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& desc) {
    if (staging_ && stagingDevice_ == device && stagingDesc_.Width == desc.Width &&
        stagingDesc_.Height == desc.Height && stagingDesc_.Format == desc.Format) {
        return true;
    }
    ReleaseDeviceObjects();
    D3D11_TEXTURE2D_DESC sd = desc;
    sd.MipLevels = 1;
    sd.ArraySize = 1;
    sd.SampleDesc.Count = 1;
    sd.SampleDesc.Quality = 0;
    sd.Usage = D3D11_USAGE_STAGING;
    sd.BindFlags = 0;
    sd.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    sd.MiscFlags = 0;
    if (FAILED(device->CreateTexture2D(&sd, nullptr, staging_.GetAddressOf()))) return false;
    stagingDevice_ = device;
    stagingDesc_ = desc;
    return true;
}

bool LayeredPresenter::FitBitmap(uint32_t width, uint32_t height) {
    if (bitmap_ && bitmapWidth_ == width && bitmapHeight_ == height) return true;
    ReleaseBitmap();
    dc_ = ::CreateCompatibleDC(nullptr);
    if (!dc_) return false;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top row first, as the texture
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = ::CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap_ || !bits) {
        ReleaseBitmap();
        return false;
    }
    previousBitmap_ = ::SelectObject(dc_, bitmap_);
    bits_ = static_cast<uint32_t*>(bits);
    wholePending_ = true;
    bitmapWidth_ = width;
    bitmapHeight_ = height;
    return true;
}

bool LayeredPresenter::Show(uint32_t width, uint32_t height, const RECT& dirty) {
    SIZE size{static_cast<LONG>(width), static_cast<LONG>(height)};
    POINT origin{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UPDATELAYEREDWINDOWINFO info{};
    info.cbSize = sizeof(info);
    info.psize = &size;
    info.hdcSrc = dc_;
    info.pptSrc = &origin;
    info.pblend = &blend;
    info.dwFlags = ULW_ALPHA;
    info.prcDirty = &dirty;
    // No position: the overlay's placement stays its own.
    return ::UpdateLayeredWindowIndirect(window_, &info) != FALSE;
}

void LayeredPresenter::ReleaseBitmap() {
    if (dc_ && previousBitmap_) ::SelectObject(dc_, previousBitmap_);
    if (bitmap_) ::DeleteObject(bitmap_);
    if (dc_) ::DeleteDC(dc_);
    dc_ = nullptr;
    bitmap_ = nullptr;
    previousBitmap_ = nullptr;
    bits_ = nullptr;
    bitmapWidth_ = 0;
    bitmapHeight_ = 0;
}
