#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "app/ManagerFactory.h"
#include "core/OOPManager.h"
#include "input/OOPHooksManager.h"
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

std::unique_ptr<OOPManager> Manager(int type) { return std::unique_ptr<OOPManager>(static_cast<OOPManager*>(CreateManager(type))); }

qm::LoadPluginRequest LoadRequest(const std::wstring& path, uint32_t requestId) {
    qm::LoadPluginRequest r{};
    r.type = qm::kMessageLoadPlugin;
    wcsncpy(r.path, path.c_str(), qm::LoadPluginRequest::kPathChars);
    r.requestId = requestId;
    return r;
}

}  // namespace

TEST(HooksManager, InitLoadsTheClientFromItsFolderAndHandsOverTheDelegate) {
    auto manager = Manager(kManagerD3D11);
    OOPHooksManager& hooks = manager->HooksManager();
    // The client's own libraries, loaded by plain name as the host's safe search does it.
    const auto loadPart = [] { return ::LoadLibraryExW(L"QMClientPart.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS); };
    EXPECT_EQ(loadPart(), nullptr);
    ASSERT_TRUE(hooks.Init(kClientFolder.c_str(), 777, manager.get()));
    EXPECT_NE(loadPart(), nullptr);
    ASSERT_NE(hooks.Controller(), nullptr);
    EXPECT_EQ(OOPHooksManager::Manager(), manager.get());
    auto delegate = reinterpret_cast<qm::IOverlayManagerControllerDelegate* (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(hooks.ClientLibrary().Module(), "QMSample_Delegate")));
    EXPECT_EQ(delegate(), static_cast<qm::IOverlayManagerControllerDelegate*>(&hooks));
    EXPECT_EQ(Calls(), "GetOverlayManagerController 777 .overlay;SetDelegate host;");
}

TEST(HooksManager, InitFailsWithoutLibraryOrController) {
    auto manager = Manager(kManagerD3D11);
    EXPECT_FALSE(manager->HooksManager().Init(L"C:\\no\\such\\folder", 1, manager.get()));
    EXPECT_FALSE(manager->HooksManager().Init(L"", 1, manager.get()));
    EXPECT_EQ(manager->HooksManager().Controller(), nullptr);

    test::ScopedEnv noController(L"QMSAMPLE_NO_CONTROLLER", L"1");
    auto second = Manager(kManagerD3D11);
    EXPECT_FALSE(second->HooksManager().Init(kClientFolder.c_str(), 1, second.get()));
    EXPECT_EQ(second->HooksManager().Controller(), nullptr);
}

TEST(HooksManager, StartHandsTheControllerTheConfigurationWithTheHostsOverrides) {
    const struct {
        int type;
        unsigned kind;
        bool readFails;  // the host's values go in all the same
    } cases[] = {{kManagerD3D9, 2, false}, {kManagerD3D11, 16, false}, {kManagerGep, 18, false},
                 {kManagerGoop, 18, false}, {kManagerD3D11, 16, true}};
    for (const auto& c : cases) {
        test::ScopedEnv noConfiguration(L"QMSAMPLE_NO_CONFIGURATION", c.readFails ? std::optional<std::wstring>(L"1")
                                                                                   : std::nullopt);
        auto manager = Manager(c.type);
        ASSERT_TRUE(manager->HooksManager().Init(kClientFolder.c_str(), 1, manager.get()));
        ResetCalls();
        EXPECT_TRUE(manager->HooksManager().Start(nullptr));
        EXPECT_EQ(Calls(), "ReadGameConfiguration;Start kind=" + std::to_string(c.kind) + " b25=1 b101=0 b117=0;")
            << c.type;
    }
}

TEST(HooksManager, MessagesFromTheController) {
    auto manager = Manager(kManagerD3D11);
    OOPHooksManager& hooks = manager->HooksManager();
    ASSERT_TRUE(hooks.Init(kClientFolder.c_str(), 1, manager.get()));
    EXPECT_FALSE(hooks.HandleMessage(nullptr));
    const qm::ControllerMessage notHandled{qm::kMessageNotHandled};
    EXPECT_FALSE(hooks.HandleMessage(&notHandled));
    const qm::ControllerMessage unknown{99};
    EXPECT_FALSE(hooks.HandleMessage(&unknown));
    EXPECT_FALSE(manager->StopRequested());
    const qm::ControllerMessage stop{qm::kMessageStopOverlay};
    EXPECT_TRUE(hooks.HandleMessage(&stop));
    EXPECT_TRUE(manager->StopRequested());
}

TEST(HooksManager, InGamePluginRequestsAreAnswered) {
    auto manager = Manager(kManagerD3D11);
    CommandLineArgs cmd;
    cmd.Parse(L"x --qm-client=C:\\qm --game-pid=5 --qm-pid=6 --game-process=game.exe");
    ASSERT_TRUE(manager->ProcessCommandLine(&cmd));
    OOPHooksManager& hooks = manager->HooksManager();
    ASSERT_TRUE(hooks.Init(kClientFolder.c_str(), 1, manager.get()));
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
    auto manager = Manager(kManagerD3D11);
    ASSERT_TRUE(manager->HooksManager().Init(test::InExeDir(L"client-noclear").c_str(), 1, manager.get()));
    ResetCalls();
    manager->Shutdown();
    EXPECT_EQ(Calls(), "SetDelegate null;Stop;");
}

TEST(HooksManager, DelegateQueriesAndTheCursor) {
    auto manager = Manager(kManagerD3D11);
    OOPHooksManager& hooks = manager->HooksManager();
    ASSERT_TRUE(hooks.Init(kClientFolder.c_str(), 1, manager.get()));
    bool fullScreen = true;
    uint32_t width = 9, height = 9;
    EXPECT_TRUE(hooks.GetOverlayInfo(&fullScreen, &width, &height));
    EXPECT_FALSE(fullScreen);
    EXPECT_EQ(width, 0u);
    EXPECT_EQ(height, 0u);
    hooks.SetCursorType(3, ::LoadCursorW(nullptr, IDC_ARROW));  // to the manager's cache, to be drawn
    bool changed = false;
    EXPECT_NE(manager->CursorToDraw(&changed), nullptr);
    EXPECT_TRUE(changed);
}

TEST(HooksManager, PassThroughIsTheHostsEighthSlot) {
    auto manager = Manager(kManagerD3D11);
    OOPHooksManager& hooks = manager->HooksManager();
    ASSERT_TRUE(hooks.Init(kClientFolder.c_str(), 1, manager.get()));
    void** table = *reinterpret_cast<void***>(static_cast<qm::IOverlayManagerControllerDelegate*>(&hooks));
    using SetPassThroughFn = void (*)(void*, bool);
    reinterpret_cast<SetPassThroughFn>(table[8])(&hooks, false);
    EXPECT_FALSE(manager->ClickThrough());
    reinterpret_cast<SetPassThroughFn>(table[8])(&hooks, true);
    EXPECT_TRUE(manager->ClickThrough());
    // Slot 4 through the same table: CanReceiveInput.
    using BoolFn = bool (*)(void*);
    EXPECT_TRUE(reinterpret_cast<BoolFn>(table[4])(&hooks));
}
