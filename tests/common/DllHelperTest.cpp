#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "common/DllHelper.h"
#include "tests/support/TestSupport.h"

using base::dll_helper::PDLL;

namespace {
const std::wstring kClientFolder = test::InExeDir(L"client");

// Calls a controller slot by its index, as a library built by another compiler would find it.
template <class R, class... Args>
R CallSlot(void* object, int slot, Args... args) {
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<R (*)(void*, Args...)>(table[slot])(object, args...);
}

std::string SampleCalls(HMODULE client) {
    auto calls = reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(::GetProcAddress(client, "QMSample_Calls")));
    return calls ? calls() : "";
}
}  // namespace

TEST(PDLL, CountsLoadsAndFreesOnTheLast) {
    PDLL dll;
    EXPECT_EQ(dll.Free(), 0);  // never loaded: nothing happens
    EXPECT_EQ(dll.RefCount(), 0u);
    ASSERT_TRUE(dll.Load(L"sample-gep-plugin.dll", nullptr, 0));
    const HMODULE module = dll.Module();
    ASSERT_TRUE(dll.Load(L"sample-gep-plugin.dll", nullptr, 0));
    EXPECT_EQ(dll.Module(), module);
    EXPECT_EQ(dll.RefCount(), 2u);
    EXPECT_EQ(dll.Free(), 1);
    EXPECT_TRUE(dll.IsLoaded());
    EXPECT_NE(::GetModuleHandleW(L"sample-gep-plugin.dll"), nullptr);
    EXPECT_NE(dll.Free(), 0);  // FreeLibrary's result
    EXPECT_FALSE(dll.IsLoaded());
    EXPECT_EQ(::GetModuleHandleW(L"sample-gep-plugin.dll"), nullptr);
    EXPECT_EQ(dll.Free(), 0);
}

TEST(PDLL, TriesTheFolderWhenTheNameAloneDoesNotLoad) {
    PDLL client;
    ASSERT_FALSE(client.Load(L"QMClient.dll", nullptr, 0));  // not next to the program
    EXPECT_EQ(client.RefCount(), 0u);
    ASSERT_TRUE(client.Load(L"QMClient.dll", kClientFolder.c_str(), 0));
    EXPECT_EQ(client.RefCount(), 1u);

    PDLL missing;
    EXPECT_FALSE(missing.Load(L"no-such-library.dll", kClientFolder.c_str(), 0));
    EXPECT_EQ(missing.RefCount(), 0u);
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_FALSE(missing.Load(L"no-such-library.dll", L"C:\\no\\such\\folder", 0));
    EXPECT_EQ(missing.RefCount(), 0u);
}

TEST(PDLL, MissingExportsYieldTheFailureValue) {
    GEPPluginDll plugin;
    EXPECT_FALSE(plugin.StartPluginOOP(L"game.exe", 0));  // not loaded
    ASSERT_TRUE(plugin.Load(L"sample-no-exports.dll", nullptr, 0));
    EXPECT_FALSE(plugin.StartPluginOOP(L"game.exe", 0));
    EXPECT_FALSE(plugin.StartPluginOOP(L"game.exe", 0));  // the failed lookup is remembered, not repeated

    QMClientDll client;
    ASSERT_TRUE(client.Load(L"sample-no-exports.dll", nullptr, 0));
    EXPECT_EQ(client.GetOverlayManagerController(1, L".overlay"), nullptr);
    client.ClearClient();  // does nothing
}

TEST(ClientContract, TheControllerAnswersThroughItsSlotNumbers) {
    QMClientDll client;
    ASSERT_TRUE(client.Load(QMClientDll::kFileName, kClientFolder.c_str(), 0));
    qm::IOverlayManagerController* controller = client.GetOverlayManagerController(4321, L".overlay");
    ASSERT_NE(controller, nullptr);

    qm::GameConfiguration config{};
    config.SetByte(101, 0);
    EXPECT_TRUE(CallSlot<bool>(controller, 11, &config));  // ReadGameConfiguration
    EXPECT_EQ(config.Byte(101), 1);
    config.SetU32(qm::GameConfiguration::kRendererKind, 16);
    EXPECT_TRUE(CallSlot<bool>(controller, 1, &config));   // Start
    CallSlot<void>(controller, 13, reinterpret_cast<HWND>(0x1234));  // SetGameWindow
    CallSlot<void>(controller, 6);                                   // OnClickOutside
    CallSlot<bool>(controller, 5, 512u, uint64_t{3}, int64_t{-7});  // OnMouseHook
    const qm::PluginLoadReply reply{53, 2, 1, 2, 0, {}};
    CallSlot<void>(controller, 0, static_cast<uint32_t>(sizeof(reply)), static_cast<const void*>(&reply));  // SendData
    CallSlot<void>(controller, 2);                                   // Stop
    client.ClearClient();

    EXPECT_EQ(SampleCalls(client.Module()),
              "GetOverlayManagerController 4321 .overlay;ReadGameConfiguration;Start kind=16 b25=0 b101=1 b117=0;"
              "SetGameWindow 0000000000001234;OnClickOutside;OnMouseHook 512 3 -7;"
              "SendData 540 type=53 two=2 pid=other request=2 error=0;Stop;"
              "clearClient;");
}

TEST(PDLL, APlantedLibraryInTheCurrentFolderOrOnPathNeverLoads) {
    // The planted copy has none of the client's exports.
    test::TempDir planted;
    ASSERT_TRUE(::CopyFileW(test::InExeDir(L"sample-no-exports.dll").c_str(), (planted / L"QMClient.dll").c_str(), FALSE));
    wchar_t oldPath[32767];
    const DWORD hadPath = ::GetEnvironmentVariableW(L"PATH", oldPath, 32767);
    bool loaded = false;
    wchar_t file[MAX_PATH] = {};
    QMClientDll client;
    {
        const test::ScopedCurrentDirectory current(planted.Path());
        const test::ScopedEnv path(L"PATH", planted.Path() + L";" + std::wstring(oldPath, hadPath));
        base::dll_helper::RestrictLibrarySearch();
        loaded = client.Load(QMClientDll::kFileName, kClientFolder.c_str(), 0);
        if (loaded) ::GetModuleFileNameW(client.Module(), file, MAX_PATH);
    }
    ASSERT_TRUE(loaded);
    EXPECT_EQ(_wcsicmp(file, (kClientFolder + L"\\QMClient.dll").c_str()), 0);
    EXPECT_NE(::GetProcAddress(client.Module(), qm::kGetControllerExport), nullptr);
}
