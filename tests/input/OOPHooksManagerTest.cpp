#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/StopSignal.h"
#include "gamewindow/OverlayFacts.h"
#include "input/OOPHooksManager.h"
#include "qm/OverlayWindowContract.h"
#include "tests/support/TestSupport.h"

namespace {

const std::wstring kClientFolder = test::InExeDir(L"client");

std::string Calls() {
    HMODULE client = ::GetModuleHandleW(L"QMClient.dll");
    auto calls = client ? reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(::GetProcAddress(client, "QMSample_Calls")))
                        : nullptr;
    return calls ? calls() : "";
}

void ResetCalls() {
    HMODULE client = ::GetModuleHandleW(L"QMClient.dll");
    auto reset = client ? reinterpret_cast<void (*)()>(reinterpret_cast<void*>(::GetProcAddress(client, "QMSample_Reset")))
                        : nullptr;
    if (reset) reset();
}

// A client session over facts and a stop of the test's own.
struct Session {
    explicit Session(uint32_t rendererKind = qm::GameConfiguration::kRendererD3D11,
                     const std::wstring& gameProcessName = L"") {
        overlay.facts = &facts;
        overlay.stop = &stop;
        overlay.rendererKind = rendererKind;
        overlay.gameProcessName = gameProcessName;
    }
    bool Init(const std::wstring& folder, uint32_t clientPid = 1) { return hooks.Init(folder.c_str(), clientPid, overlay); }

    OverlayFacts facts;
    base::StopSignal stop;
    OOPHooksManager::Overlay overlay;
    OOPHooksManager hooks;
};

qm::LoadPluginRequest LoadRequest(const std::wstring& path, uint32_t requestId) {
    qm::LoadPluginRequest r{};
    r.type = qm::kMessageLoadPlugin;
    wcsncpy(r.path, path.c_str(), qm::LoadPluginRequest::kPathChars);
    r.requestId = requestId;
    return r;
}

}  // namespace

TEST(HooksManager, InitLoadsTheClientFromItsFolderAndHandsOverTheDelegate) {
    Session session;
    OOPHooksManager& hooks = session.hooks;
    // The client's own libraries, loaded by plain name as the host's safe search does it.
    const auto loadPart = [] { return ::LoadLibraryExW(L"QMClientPart.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS); };
    EXPECT_EQ(loadPart(), nullptr);
    ASSERT_TRUE(session.Init(kClientFolder, 777));
    EXPECT_NE(loadPart(), nullptr);
    ASSERT_NE(hooks.Controller(), nullptr);
    auto delegate = reinterpret_cast<qm::IOverlayManagerControllerDelegate* (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(hooks.ClientLibrary().Module(), "QMSample_Delegate")));
    EXPECT_EQ(delegate(), static_cast<qm::IOverlayManagerControllerDelegate*>(&hooks));
    EXPECT_EQ(Calls(), "GetOverlayManagerController 777 .overlay;SetDelegate host;");
}

TEST(HooksManager, InitFailsWithoutLibraryOrController) {
    Session session;
    EXPECT_FALSE(session.Init(L"C:\\no\\such\\folder"));
    EXPECT_FALSE(session.Init(L""));
    EXPECT_EQ(session.hooks.Controller(), nullptr);

    test::ScopedEnv noController(L"QMSAMPLE_NO_CONTROLLER", L"1");
    Session second;
    EXPECT_FALSE(second.Init(kClientFolder));
    EXPECT_EQ(second.hooks.Controller(), nullptr);
}

TEST(HooksManager, StartHandsTheControllerTheConfigurationWithTheHostsOverrides) {
    const struct {
        unsigned kind;
        bool readFails;  // the host's values go in all the same
    } cases[] = {{2, false}, {16, false}, {18, false}, {16, true}};
    for (const auto& c : cases) {
        test::ScopedEnv noConfiguration(L"QMSAMPLE_NO_CONFIGURATION", c.readFails ? std::optional<std::wstring>(L"1")
                                                                                   : std::nullopt);
        Session session(c.kind);
        ASSERT_TRUE(session.Init(kClientFolder));
        ResetCalls();
        EXPECT_TRUE(session.hooks.Start(nullptr));
        EXPECT_EQ(Calls(), "ReadGameConfiguration;Start kind=" + std::to_string(c.kind) + " b25=1 b101=0 b117=0;");
        session.hooks.StopHooksThread();
    }
}

TEST(HooksManager, MessagesFromTheController) {
    Session session;
    OOPHooksManager& hooks = session.hooks;
    ASSERT_TRUE(session.Init(kClientFolder));
    EXPECT_FALSE(hooks.HandleMessage(nullptr));
    const qm::ControllerMessage notHandled{qm::kMessageNotHandled};
    EXPECT_FALSE(hooks.HandleMessage(&notHandled));
    const qm::ControllerMessage unknown{99};
    EXPECT_FALSE(hooks.HandleMessage(&unknown));
    EXPECT_FALSE(session.stop.Requested());
    const qm::ControllerMessage stop{qm::kMessageStopOverlay};
    EXPECT_TRUE(hooks.HandleMessage(&stop));
    EXPECT_TRUE(session.stop.Requested());
    EXPECT_EQ(::WaitForSingleObject(session.stop.Handle(), 0), WAIT_OBJECT_0);
}

TEST(HooksManager, InGamePluginRequestsAreAnswered) {
    Session session(qm::GameConfiguration::kRendererD3D11, L"game.exe");
    OOPHooksManager& hooks = session.hooks;
    ASSERT_TRUE(session.Init(kClientFolder));
    ResetCalls();

    const qm::LoadPluginRequest missing = LoadRequest(L"C:\\no\\such\\plugin.dll", 40);
    EXPECT_TRUE(hooks.HandleMessage(reinterpret_cast<const qm::ControllerMessage*>(&missing)));
    const qm::LoadPluginRequest first = LoadRequest(test::InExeDir(L"sample-gep-plugin.dll"), 41);
    EXPECT_TRUE(hooks.HandleMessage(reinterpret_cast<const qm::ControllerMessage*>(&first)));
    const qm::LoadPluginRequest again = LoadRequest(test::InExeDir(L"sample-gep-plugin.dll"), 42);
    EXPECT_TRUE(hooks.HandleMessage(reinterpret_cast<const qm::ControllerMessage*>(&again)));
    EXPECT_EQ(Calls(), "SendData 540 type=53 two=2 pid=host request=40 error=126;"
                       "SendData 540 type=53 two=2 pid=host request=41 error=0;"
                       "SendData 540 type=53 two=2 pid=host request=42 error=0;");
    HMODULE plugin = hooks.PluginLibrary().Module();
    auto lastGame = reinterpret_cast<const wchar_t* (*)()>(reinterpret_cast<void*>(::GetProcAddress(plugin, "SampleGep_LastGame")));
    auto starts = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(::GetProcAddress(plugin, "SampleGep_Starts")));
    EXPECT_STREQ(lastGame(), L"game.exe");
    EXPECT_EQ(starts(), 1);  // started once only
}

// The order of the full shutdown is checked in the manager's life test; a client without
// "clearClient" misses only that call.
TEST(HooksManager, AClientWithoutClearClientSkipsOnlyThatCall) {
    Session session;
    ASSERT_TRUE(session.Init(test::InExeDir(L"client-noclear")));
    ResetCalls();
    session.hooks.ReleaseController();
    EXPECT_EQ(Calls(), "SetDelegate null;Stop;");
}

// The delegate's answers come from the overlay's facts; what it is asked reaches the overlay's
// thread as one posted intent of each kind.
TEST(HooksManager, DelegateAnswersFromTheFactsAndPostsItsIntents) {
    Session session;
    OOPHooksManager& hooks = session.hooks;
    ASSERT_TRUE(session.Init(kClientFolder));
    bool fullScreen = true;
    uint32_t width = 9, height = 9;
    EXPECT_TRUE(hooks.GetOverlayInfo(&fullScreen, &width, &height));
    EXPECT_FALSE(fullScreen);
    EXPECT_EQ(width, 0u);
    EXPECT_EQ(height, 0u);
    session.facts.fullScreen = true;
    EXPECT_FALSE(hooks.CanReceiveInput());  // full screen, and no blocker to take the game's input
    session.facts.fullScreenRenderingOff = true;
    EXPECT_FALSE(hooks.CanShowOverlay());
    session.facts.fullScreen = false;
    EXPECT_TRUE(hooks.CanShowOverlay());
    EXPECT_TRUE(hooks.CanReceiveInput());

    const test::ScopedWindow overlay(::CreateWindowExW(0, L"STATIC", L"overlay", WS_POPUP, 0, 0, 10, 10, nullptr,
                                                       nullptr, nullptr, nullptr));
    session.facts.overlay = overlay.Get();
    const auto posted = [&](UINT message) {
        MSG msg{};
        int n = 0;
        while (::PeekMessageW(&msg, overlay.Get(), message, message, PM_REMOVE)) ++n;
        return n;
    };
    for (int i = 0; i < 100; ++i) hooks.SetCursorType(3, ::LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(posted(qm::overlay::kMsgRefreshCursor), 1);
    hooks.CursorRequestTaken();
    int32_t type = 0;
    EXPECT_TRUE(hooks.Cursors().Apply(&type));
    EXPECT_EQ(type, 3);
    uint32_t version = 0;
    EXPECT_NE(hooks.Cursors().ToDraw(&version), nullptr);

    // Pass-through asked as the overlay already is costs nothing; else the latest request counts.
    hooks.SetPassThrough(true);
    EXPECT_EQ(posted(OOPHooksManager::kMsgApplyClickThrough), 0);
    hooks.SetPassThrough(false);
    hooks.SetPassThrough(true);
    hooks.SetPassThrough(false);
    EXPECT_EQ(posted(OOPHooksManager::kMsgApplyClickThrough), 1);
    EXPECT_FALSE(hooks.TakeClickThroughRequest());

    // Exclusive mode: the facts say so at once, and a quick on and off is no change at all.
    hooks.OnExclusiveModeChanged(true);
    EXPECT_FALSE(session.facts.clickThrough.load());
    EXPECT_EQ(posted(OOPHooksManager::kMsgApplyExclusive), 1);
    bool exclusive = false;
    EXPECT_TRUE(hooks.TakeExclusiveChange(&exclusive));
    EXPECT_TRUE(exclusive);
    hooks.OnExclusiveModeChanged(false);
    hooks.OnExclusiveModeChanged(true);
    EXPECT_EQ(posted(OOPHooksManager::kMsgApplyExclusive), 1);
    EXPECT_FALSE(hooks.TakeExclusiveChange(&exclusive));
    hooks.OnExclusiveModeChanged(false);
}

TEST(HooksManager, PassThroughIsTheHostsEighthSlot) {
    Session session;
    OOPHooksManager& hooks = session.hooks;
    ASSERT_TRUE(session.Init(kClientFolder));
    void** table = *reinterpret_cast<void***>(static_cast<qm::IOverlayManagerControllerDelegate*>(&hooks));
    using SetPassThroughFn = void (*)(void*, bool);
    session.facts.clickThrough = true;
    reinterpret_cast<SetPassThroughFn>(table[8])(&hooks, false);
    EXPECT_FALSE(hooks.RequestedClickThrough());
    reinterpret_cast<SetPassThroughFn>(table[8])(&hooks, true);
    EXPECT_TRUE(hooks.RequestedClickThrough());
    // Slot 4 through the same table: CanReceiveInput.
    using BoolFn = bool (*)(void*);
    EXPECT_TRUE(reinterpret_cast<BoolFn>(table[4])(&hooks));
}
