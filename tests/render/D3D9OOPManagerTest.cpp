#include <windows.h>
#include <d3d9.h>
#include <wrl/client.h>

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "render/D3D9OOPManager.h"

namespace {

// A game window of a fixed size, as the window tracking reports it.
class FixedRectHandler : public GameWindowHandler {
public:
    FixedRectHandler(Delegate* delegate, RECT rect) : GameWindowHandler(delegate), rect_(rect) {}
    HWND GetGameWindowHandle(uint32_t) override { return nullptr; }
    int32_t UpdateGameWindowRect(RECT& rect, bool force) override {
        rect = rect_;
        return force ? kForced : kUnchanged;
    }
    void ForceForegroundWindow(HWND, bool) override {}
    void DetectFullScreen() override {}
    void AdjustClientRect(HWND, RECT&) override {}

private:
    RECT rect_;
};

// The manager with its window and game rectangle set the way the overlay window and the window
// tracking set them.
class TestD3D9 : public D3D9OOPManager {
public:
    TestD3D9() {
        window_ = ::CreateWindowExW(0, L"STATIC", L"qm d3d9 test", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr,
                                    nullptr, nullptr);
        overlayWindow_ = window_;
    }
    ~TestD3D9() override {
        ShutdownD3D();
        if (window_) ::DestroyWindow(window_);
    }
    void SetGameRect(int width, int height) {
        windowManager_.SetOwner(this);
        windowManager_.SetHandler(std::make_unique<FixedRectHandler>(&windowManager_, RECT{100, 100, 100 + width, 100 + height}));
    }
    void SetBackground(uint32_t colour) { backgroundColor_ = colour; }
    HWND window_ = nullptr;
};

uint32_t BackBufferPixel(IDirect3DDevice9* device, UINT x, UINT y) {
    Microsoft::WRL::ComPtr<IDirect3DSurface9> back, copy;
    D3DSURFACE_DESC desc{};
    D3DLOCKED_RECT locked{};
    if (FAILED(device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back)) || FAILED(back->GetDesc(&desc)) ||
        FAILED(device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &copy,
                                                  nullptr)) ||
        FAILED(device->GetRenderTargetData(back.Get(), copy.Get())) ||
        FAILED(copy->LockRect(&locked, nullptr, D3DLOCK_READONLY))) {
        return 0xDEADBEEF;
    }
    const uint32_t pixel = static_cast<const uint32_t*>(locked.pBits)[y * (locked.Pitch / 4) + x];
    copy->UnlockRect();
    return pixel;
}

}  // namespace

TEST(D3D9Manager, AWindowedDeviceAtTheGamesSizeThatSmallSizesLeaveAlone) {
    TestD3D9 zero;
    zero.SetGameRect(0, 0);  // asks for 10 x 10: nothing is filled
    zero.InitD3D();
    D3DPRESENT_PARAMETERS empty{};
    EXPECT_EQ(std::memcmp(&zero.PresentParameters(), &empty, sizeof(empty)), 0);
    EXPECT_FALSE(zero.Render());  // no device: nothing renders or resets
    EXPECT_FALSE(zero.ResetD3D(640, 480));
    zero.ShutdownD3D();
    zero.ShutdownD3D();  // twice is harmless

    TestD3D9 m;
    m.SetGameRect(640, 480);
    ASSERT_TRUE(m.InitD3D());
    EXPECT_EQ(m.PresentParameters().hDeviceWindow, m.window_);
    EXPECT_TRUE(m.PresentParameters().Windowed);
    EXPECT_EQ(m.PresentParameters().BackBufferWidth, 640u);
    EXPECT_FALSE(m.IsAdapterChanged());
    EXPECT_TRUE(m.ResetD3D(300, 200));  // still resets, at the size it had
    EXPECT_EQ(m.PresentParameters().BackBufferWidth, 640u);
    EXPECT_EQ(m.PresentParameters().BackBufferHeight, 480u);
    EXPECT_TRUE(m.ResetD3D(800, 600));
    EXPECT_EQ(m.PresentParameters().BackBufferWidth, 800u);
    EXPECT_EQ(m.PresentParameters().BackBufferHeight, 600u);
}

TEST(D3D9Manager, ClearsToTheBackgroundColourUnchanged) {
    TestD3D9 m;
    m.SetGameRect(640, 480);
    ASSERT_TRUE(m.InitD3D());
    m.SetBackground(0x0F7F0000);
    EXPECT_TRUE(m.Render());
    EXPECT_EQ(BackBufferPixel(m.Device(), 10, 10), 0x0F7F0000u);
    m.SetBackground(0);
    EXPECT_TRUE(m.Render());
    EXPECT_EQ(BackBufferPixel(m.Device(), 600, 400), 0u);
}
