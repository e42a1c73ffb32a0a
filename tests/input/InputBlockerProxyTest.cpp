#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "core/CommandLineArgs.h"
#include "input/InputBlockerProxy.h"
#include "tests/support/TestSupport.h"

namespace {
int ProcessesNamed(const wchar_t* name) {
    int n = 0;
    base::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0) ++n;
    }
    return n;
}

int CountPosted(UINT message, WPARAM* lastWParam, LPARAM* lastLParam) {
    int n = 0;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, message, message, PM_REMOVE)) {
        ++n;
        *lastWParam = msg.wParam;
        *lastLParam = msg.lParam;
    }
    return n;
}
}  // namespace

TEST(InputBlockerProxy, LibraryPathFollowsTheClientFolderAndBitness) {
    EXPECT_EQ(InputBlockerProxy::LibraryPath(L"C:\\a\\b\\", false), L"C:\\a\\b\\QMClientOOPO.dll");
    EXPECT_EQ(InputBlockerProxy::LibraryPath(L"C:\\a\\b", false), L"C:\\a\\QMClientOOPO.dll");
    EXPECT_EQ(InputBlockerProxy::LibraryPath(L"C:/a/b", true), L"C:/a\\Win32\\QMClientOOPO.dll");
    EXPECT_EQ(InputBlockerProxy::LibraryPath(L"folder", false), L"folder\\QMClientOOPO.dll");
}

TEST(InputBlockerProxy, HelperCommandLineIsExact) {
    EXPECT_EQ(InputBlockerProxy::HelperCommandLine(42, L"C:\\Program Files\\QM\\QMClientOOPO.dll", 7),
              L"--inject --target-pid=42 --dll-path=\"C:\\Program Files\\QM\\QMClientOOPO.dll\" "
              L"--procn=QMClientOOPOCallback --proc-msg=230 --param=42 pid=7");
    // Cut to the buffer, never overrun.
    const std::wstring huge(5000, L'x');
    EXPECT_EQ(InputBlockerProxy::HelperCommandLine(1, huge, 2).size(), 2047u);
}

TEST(InputBlockerProxy, InjectionStopsEarlyOnBadParametersOrNoHelper) {
    InputBlockerProxy noGame;
    noGame.Init(0, 1, test::InExeDir(L"client\\"));
    ASSERT_TRUE(test::WaitUntil([&] { return noGame.SearchAllowed(); }, 10000));
    EXPECT_FALSE(noGame.Launched());
    noGame.Reset();

    test::ChildProcess game(test::ChildCommand(L"sleep 30000"));
    InputBlockerProxy noFolder;
    noFolder.Init(game.Pid(), 1, L"");
    ASSERT_TRUE(test::WaitUntil([&] { return noFolder.SearchAllowed(); }, 10000));
    EXPECT_FALSE(noFolder.Launched());
    noFolder.SetInputBlocking(true);  // no window: nothing happens
    noFolder.Reset();
}

TEST(InputBlockerProxy, TheHelperInjectsTheBlockerAndTheBlockerObeys) {
    test::TempDir dir;
    const std::wstring log = dir / L"helper.log";
    test::ScopedEnv helperLog(L"QMHELPER_LOG", log);
    test::ScopedEnv helperStays(L"QMHELPER_STAY_MS", L"60000");  // the launched helper hangs after its work
    test::ChildProcess game(test::ChildCommand(L"sleep 60000"));
    test::ChildProcess resident(Overlay::Common::QuoteArgument(test::InExeDir(L"QuillmarHelper64.exe")) +
                                L" --stay 60000");
    ASSERT_TRUE(game.Started());
    ASSERT_TRUE(resident.Started());
    ASSERT_TRUE(test::WaitUntil([] { return !InputBlockerProxy::FindHelperPath(false).empty(); }, 10000));
    EXPECT_TRUE(InputBlockerProxy::FindHelperPath(true).empty());  // no 32-bit helper runs

    InputBlockerProxy proxy;
    // As the client passes it: no trailing separator, so the blocker lies one folder above.
    const std::wstring clientFolder = test::InExeDir(L"client");
    proxy.Init(game.Pid(), 99, clientFolder);
    ASSERT_TRUE(test::WaitUntil([&] { return proxy.SearchAllowed(); }, 30000));
    EXPECT_TRUE(proxy.Launched());
    ASSERT_NE(proxy.BlockerWindow(), nullptr);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(proxy.BlockerWindow(), &owner);
    EXPECT_EQ(owner, game.Pid());

    // The helper was started with the documented command line.
    const std::string bytes = test::ReadFileBytes(log);
    const std::wstring received(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(received.find(InputBlockerProxy::HelperCommandLine(game.Pid(), test::InExeDir(L"QMClientOOPO.dll"), 99)),
              std::wstring::npos);

    char name[64];
    std::snprintf(name, sizeof(name), "QM.ClientOOPO.Blocked.%lu", game.Pid());
    base::UniqueHandle blocked(::OpenEventA(SYNCHRONIZE, FALSE, name));
    ASSERT_TRUE(blocked);
    proxy.SetInputBlocking(true);
    EXPECT_EQ(::WaitForSingleObject(blocked.Get(), 10000), WAIT_OBJECT_0);
    proxy.SetInputBlocking(false);
    EXPECT_TRUE(test::WaitUntil([&] { return ::WaitForSingleObject(blocked.Get(), 0) == WAIT_TIMEOUT; }, 10000));

    // A host that blocked the game and then died: the blocker gives the game its input back.
    {
        test::ChildProcess host(test::ChildCommand(L"sleep 60000"));
        ASSERT_TRUE(::PostMessageW(proxy.BlockerWindow(), proxy.BlockMessage(), 1, static_cast<LPARAM>(host.Pid())));
        EXPECT_EQ(::WaitForSingleObject(blocked.Get(), 10000), WAIT_OBJECT_0);
        ASSERT_TRUE(::TerminateProcess(host.Handle(), 9));
        EXPECT_TRUE(test::WaitUntil([&] { return ::WaitForSingleObject(blocked.Get(), 0) == WAIT_TIMEOUT; }, 10000));
    }

    // The helper that still runs is ended with the proxy: only the resident one is left.
    EXPECT_EQ(ProcessesNamed(L"QuillmarHelper64.exe"), 2);
    proxy.Reset();
    EXPECT_EQ(ProcessesNamed(L"QuillmarHelper64.exe"), 1);
    EXPECT_EQ(proxy.BlockerWindow(), nullptr);
    EXPECT_FALSE(proxy.Launched());
}

TEST(InputBlockerProxy, TheSearchGivesUpAfterThirtyAttempts) {
    InputBlockerProxy proxy;
    proxy.MarkLaunched(0x7FFFFFF0u);  // a process id with no blocker window
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(proxy.FindBlockerWindow(true, true));
    EXPECT_EQ(proxy.Attempts(), InputBlockerProxy::kMaxAttempts);
}

TEST(InputBlockerProxy, BlockingMessagesReachTheWindowWithTheHostsId) {
    char name[64];
    std::snprintf(name, sizeof(name), "QM.ClientOOPO.%lu", ::GetCurrentProcessId());
    std::optional<test::ScopedWindow> blocker(std::in_place, ::CreateWindowExA(0, "STATIC", name, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
    const HWND window = blocker->Get();
    ASSERT_NE(window, nullptr);

    InputBlockerProxy idle;
    idle.SetInputBlocking(true);  // not ready: nothing is posted
    WPARAM w = 0;
    LPARAM l = 0;
    EXPECT_EQ(CountPosted(::RegisterWindowMessageA("QM.ClientOOPO.Block"), &w, &l), 0);

    InputBlockerProxy proxy;
    proxy.MarkLaunched(::GetCurrentProcessId());
    for (int i = 0; i < 12; ++i) proxy.SetInputBlocking(i % 2 == 0);
    EXPECT_EQ(proxy.BlockerWindow(), window);
    EXPECT_EQ(CountPosted(proxy.BlockMessage(), &w, &l), 12);
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(static_cast<DWORD>(l), ::GetCurrentProcessId());
    blocker.reset();
    // The window is gone: the next call searches again and finds nothing.
    proxy.SetInputBlocking(true);
    EXPECT_EQ(proxy.BlockerWindow(), nullptr);
}

TEST(InputBlockerProxy, AWindowOfTheBlockersNameInAnotherProcessGetsNoMessage) {
    constexpr uint32_t kGamePid = 0x7FFFFFF0u;
    char name[64];
    std::snprintf(name, sizeof(name), "QM.ClientOOPO.%u", kGamePid);
    const test::ScopedWindow impostor(::CreateWindowExA(0, "STATIC", name, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(impostor.Get(), nullptr);
    InputBlockerProxy proxy;
    proxy.MarkLaunched(kGamePid);
    proxy.SetInputBlocking(true);
    EXPECT_EQ(proxy.BlockerWindow(), nullptr);
    WPARAM w = 0;
    LPARAM l = 0;
    EXPECT_EQ(CountPosted(proxy.BlockMessage(), &w, &l), 0);
}

namespace {
WORD MachineOf(const std::wstring& path) {
    const std::string bytes = test::ReadFileBytes(path);
    if (bytes.size() < 0x40) return 0;
    const auto offset = *reinterpret_cast<const LONG*>(bytes.data() + 0x3C);
    if (offset <= 0 || static_cast<size_t>(offset) + 6 > bytes.size()) return 0;
    return *reinterpret_cast<const WORD*>(bytes.data() + offset + 4);
}
}  // namespace

// Wine here runs 64-bit programs only: the 32-bit pieces are checked for where they lie and what
// they are, and the proxy's choice of them without running one.
TEST(InputBlockerProxy, ThirtyTwoBitGamesGetTheirOwnHelperAndLibrary) {
    const std::wstring library = InputBlockerProxy::LibraryPath(test::InExeDir(L"client"), true);
    EXPECT_EQ(library, test::InExeDir(L"Win32\\QMClientOOPO.dll"));
    EXPECT_EQ(MachineOf(library), IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(MachineOf(test::InExeDir(L"QuillmarHelper.exe")), IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(MachineOf(test::InExeDir(L"QuillmarHelper64.exe")), IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(MachineOf(test::InExeDir(L"QMClientOOPO.dll")), IMAGE_FILE_MACHINE_AMD64);
}
