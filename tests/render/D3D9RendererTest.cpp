#include <windows.h>
#include <d3d9.h>
#include <wrl/client.h>

#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "render/D3D9Renderer.h"
#include "tests/support/RenderTestSupport.h"

namespace {

// A Direct3D 9 renderer over a bed of its own, the game window `width` x `height`.
struct TestD3D9 : test::RenderBed {
    TestD3D9(uint32_t width, uint32_t height) {
        target.width = width;
        target.height = height;
    }
    D3D9Renderer* operator->() { return &renderer; }
    bool Create() { return renderer.Create(target); }
    bool Render() { return renderer.RenderAndPresent(frame); }
    D3D9Renderer renderer;
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

TEST(D3D9Renderer, AWindowedDeviceAtTheGamesSizeThatSmallSizesLeaveAlone) {
    TestD3D9 zero(0, 0);  // asks for 10 x 10: nothing is filled
    zero.Create();
    D3DPRESENT_PARAMETERS empty{};
    EXPECT_EQ(std::memcmp(&zero->PresentParameters(), &empty, sizeof(empty)), 0);
    EXPECT_FALSE(zero.Render());  // no device: nothing renders or resets
    EXPECT_FALSE(zero->Resize(640, 480, false));
    zero->Release();
    zero->Release();  // twice is harmless

    TestD3D9 m(640, 480);
    ASSERT_TRUE(m.Create());
    EXPECT_EQ(m->PresentParameters().hDeviceWindow, m.target.window);
    EXPECT_TRUE(m->PresentParameters().Windowed);
    EXPECT_EQ(m->PresentParameters().BackBufferWidth, 640u);
    EXPECT_FALSE(m->AdapterChanged(nullptr));
    EXPECT_TRUE(m->Resize(300, 200, false));  // still resets, at the size it had
    EXPECT_EQ(m->PresentParameters().BackBufferWidth, 640u);
    EXPECT_EQ(m->PresentParameters().BackBufferHeight, 480u);
    EXPECT_TRUE(m->Resize(800, 600, false));
    EXPECT_EQ(m->PresentParameters().BackBufferWidth, 800u);
    EXPECT_EQ(m->PresentParameters().BackBufferHeight, 600u);
}

TEST(D3D9Renderer, ClearsToTheBackgroundColourUnchanged) {
    TestD3D9 m(640, 480);
    ASSERT_TRUE(m.Create());
    m.frame.backgroundColor = 0x0F7F0000;
    EXPECT_TRUE(m.Render());
    EXPECT_EQ(BackBufferPixel(m->Device(), 10, 10), 0x0F7F0000u);
    m.frame.backgroundColor = 0;
    EXPECT_TRUE(m.Render());
    EXPECT_EQ(BackBufferPixel(m->Device(), 600, 400), 0u);
}
