#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/DllHelper.h"
#include "tests/TestSupport.h"
#include "tests/render/RenderTestSupport.h"

using Microsoft::WRL::ComPtr;

namespace {

// Stands in for the host: records what the sample asks of it.
struct RecordingDelegate : qm::IOverlayManagerControllerDelegate {
    std::vector<std::string> calls;
    std::atomic<int> stops{0};
    void Reserved0() override {}
    void OnExclusiveModeChanged(bool exclusive) override { calls.push_back(exclusive ? "exclusive" : "shared"); }
    void Reserved2() override {}
    bool HandleMessage(const qm::ControllerMessage* message) override {
        if (message && message->type == qm::kMessageStopOverlay) ++stops;
        return true;
    }
    void SetCursorType(int32_t type, HCURSOR cursor) override {
        calls.push_back("cursor " + std::to_string(type) + (cursor ? " set" : " none"));
    }
};

struct SampleClient {
    QMClientDll dll;
    qm::IOverlayManagerController* controller = nullptr;
    SampleClient() {
        if (dll.Load(QMClientDll::kFileName, test::InExeDir(L"client").c_str(), 0)) {
            controller = dll.GetOverlayManagerController(1, L".overlay");
        }
    }
};

KBDLLHOOKSTRUCT Key(DWORD vk) {
    KBDLLHOOKSTRUCT k{};
    k.vkCode = vk;
    return k;
}

}  // namespace

TEST(SampleClient, DrawsItsPanelIntoTheBackBuffer) {
    SampleClient client;
    ASSERT_NE(client.controller, nullptr);
    HWND window = ::CreateWindowExW(0, L"STATIC", L"sample target", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr,
                                    nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    DXGI_SWAP_CHAIN_DESC sd{};
    sd.BufferDesc.Width = 400;
    sd.BufferDesc.Height = 300;
    sd.BufferDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    sd.SampleDesc.Count = 1;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.BufferCount = 1;
    sd.OutputWindow = window;
    sd.Windowed = TRUE;
    ComPtr<IDXGISwapChain> swapChain;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ASSERT_TRUE(SUCCEEDED(::D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                                          D3D11_SDK_VERSION, &sd, swapChain.GetAddressOf(),
                                                          device.GetAddressOf(), nullptr, context.GetAddressOf())));
    ComPtr<ID3D11Texture2D> back;
    ASSERT_TRUE(SUCCEEDED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(back.GetAddressOf()))));
    ComPtr<ID3D11RenderTargetView> view;
    ASSERT_TRUE(SUCCEEDED(device->CreateRenderTargetView(back.Get(), nullptr, view.GetAddressOf())));
    const float transparent[4] = {0, 0, 0, 0};
    context->ClearRenderTargetView(view.Get(), transparent);

    client.controller->RenderOverlay(window, swapChain.Get());

    UINT width = 0;
    const std::vector<uint32_t> pixels = test::ReadBackBuffer(swapChain.Get(), &width);
    ASSERT_EQ(pixels.size(), 400u * 300u);
    auto pixel = [&](int x, int y) { return pixels[y * width + x]; };
    EXPECT_EQ(pixel(16, 16), 0xE0E0E0E0u);   // the frame
    EXPECT_EQ(pixel(100, 60), 0xE02050B0u);  // the card
    EXPECT_EQ(pixel(380, 280), 0u);          // the rest stays transparent
    EXPECT_EQ(pixel(10, 10), 0u);
    ::DestroyWindow(window);
}

TEST(SampleClient, ShiftTabTogglesExclusiveModeThroughTheDelegate) {
    SampleClient client;
    ASSERT_NE(client.controller, nullptr);
    RecordingDelegate host;
    client.controller->SetDelegate(&host);
    KBDLLHOOKSTRUCT shift = Key(VK_LSHIFT), tab = Key(VK_TAB), a = Key('A');
    EXPECT_FALSE(client.controller->OnKeyboardHook(0, WM_KEYDOWN, &tab));  // Tab alone passes
    EXPECT_FALSE(client.controller->OnKeyboardHook(0, WM_KEYDOWN, &shift));
    EXPECT_TRUE(client.controller->OnKeyboardHook(0, WM_KEYDOWN, &tab));
    EXPECT_FALSE(client.controller->OnKeyboardHook(0, WM_KEYDOWN, &a));
    EXPECT_TRUE(client.controller->OnKeyboardHook(0, WM_KEYDOWN, &tab));
    EXPECT_FALSE(client.controller->OnKeyboardHook(0, WM_KEYUP, &shift));
    EXPECT_FALSE(client.controller->OnKeyboardHook(0, WM_KEYDOWN, &tab));
    EXPECT_EQ(host.calls, (std::vector<std::string>{"exclusive", "cursor 0 set", "shared"}));

    // Over the panel the cursor turns into a hand, and back.
    host.calls.clear();
    EXPECT_TRUE(client.controller->OnMouseHook(WM_MOUSEMOVE, 0, (50 << 16) | 50));
    EXPECT_FALSE(client.controller->OnMouseHook(WM_MOUSEMOVE, 0, (250 << 16) | 10));
    EXPECT_EQ(host.calls, (std::vector<std::string>{"cursor 1 set", "cursor 0 set"}));
    client.controller->SetDelegate(nullptr);
}

TEST(SampleClient, AsksTheHostToStopWhenToldToAndKeepsARecord) {
    test::TempDir dir;
    const std::wstring record = dir / L"record.txt";
    ::SetEnvironmentVariableW(L"QMSAMPLE_RECORD", record.c_str());
    ::SetEnvironmentVariableW(L"QMSAMPLE_STOP_AFTER_MS", L"50");
    SampleClient client;
    ASSERT_NE(client.controller, nullptr);
    RecordingDelegate host;
    client.controller->SetDelegate(&host);
    qm::GameConfiguration config{};
    EXPECT_TRUE(client.controller->Start(&config));
    for (int i = 0; i < 200 && host.stops == 0; ++i) ::Sleep(10);
    EXPECT_EQ(host.stops.load(), 1);
    client.controller->SetDelegate(nullptr);
    ::SetEnvironmentVariableW(L"QMSAMPLE_STOP_AFTER_MS", nullptr);
    ::SetEnvironmentVariableW(L"QMSAMPLE_RECORD", nullptr);
    const std::string text = test::ReadFileBytes(record);
    EXPECT_NE(text.find("GetOverlayManagerController 1 .overlay\nSetDelegate host\nStart kind=0"), std::string::npos)
        << text;
}
