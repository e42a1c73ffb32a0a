#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/DllHelper.h"
#include "tests/support/TestSupport.h"

namespace {

// Stands in for the host: records what the sample asks of it.
struct RecordingDelegate : qm::IOverlayManagerControllerDelegate {
    std::vector<std::string> calls;
    void Reserved0() override {}
    void OnExclusiveModeChanged(bool exclusive) override { calls.push_back(exclusive ? "exclusive" : "shared"); }
    void Reserved2() override {}
    bool HandleMessage(const qm::ControllerMessage*) override { return true; }
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

