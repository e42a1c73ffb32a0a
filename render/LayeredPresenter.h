#pragma once
#include <windows.h>

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>

// Hands the overlay's frames to its window as a per-pixel-alpha layered window: where composition is
// missing, this is what lets the game show through the overlay's clear parts. Each frame is copied
// to one CPU-readable texture (made again only when the size, format or device changes) and from
// there to one bitmap of the window's, which UpdateLayeredWindow shows: only the rows and columns
// that changed since the last frame, and nothing when none did. Window thread only.
class LayeredPresenter {
public:
    LayeredPresenter() = default;
    ~LayeredPresenter() { Detach(); }
    LayeredPresenter(const LayeredPresenter&) = delete;
    LayeredPresenter& operator=(const LayeredPresenter&) = delete;

    // The window takes its picture from the presenter from now on, starting with a clear one of
    // its size. False (the window as it was) when the system refuses.
    bool Attach(HWND window);
    // The window back to constant alpha, as a swap chain over it needs; everything released.
    void Detach();
    bool Attached() const { return window_ != nullptr; }
    // The frame in `back` (premultiplied, R8G8B8A8 or B8G8R8A8) onto the window: S_OK, or the
    // failing step's result (a lost device's when reading the frame back finds it so).
    HRESULT Present(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* back);
    // The window was shown again: some systems (Wine beside a compositing manager, once the window
    // was resized) lose a layered window's picture while it is hidden, and show none given later
    // until the window is made layered anew, which can happen a moment after the show itself. For
    // the next two seconds each frame a quarter of a second apart does that, and goes whole.
    void WindowShown() { shownTick_ = ::GetTickCount64(); }
    // The device's object (the staging texture), before that device goes.
    void ReleaseDeviceObjects() {
        staging_.Reset();
        stagingDevice_ = nullptr;
    }

private:
    bool FitStaging(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& desc);
    bool FitBitmap(uint32_t width, uint32_t height);
    // The bitmap's `dirty` part onto the window (the window's size is the bitmap's).
    bool Show(uint32_t width, uint32_t height, const RECT& dirty);
    void ReleaseBitmap();

    HWND window_ = nullptr;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> staging_;
    ID3D11Device* stagingDevice_ = nullptr;
    D3D11_TEXTURE2D_DESC stagingDesc_{};
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previousBitmap_ = nullptr;
    uint32_t* bits_ = nullptr;
    uint32_t bitmapWidth_ = 0;
    uint32_t bitmapHeight_ = 0;
    // The whole bitmap goes to the window next: it is new, or the window was shown again; and at
    // least once a second, whatever else may have lost the picture.
    bool wholePending_ = true;
    uint64_t wholeShownTick_ = 0;
    uint64_t shownTick_ = 0;
    uint64_t layeredAnewTick_ = 0;
};
