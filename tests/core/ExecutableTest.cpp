#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "tests/support/TestSupport.h"

namespace {
std::wstring Quoted(const std::wstring& s) { return Overlay::Common::QuoteArgument(s); }

int32_t RunOverlay(const std::wstring& arguments, const test::Environment& environment = {}) {
    const test::ProcessResult r = test::RunProcess(Quoted(test::InExeDir(L"qm-overlay.exe")) + L" " + arguments, 60000,
                                                   environment);
    EXPECT_TRUE(r.finished);
    return static_cast<int32_t>(r.exitCode);
}

// Names of the image's exports, read from its export directory.
std::vector<std::string> ExportNames(HMODULE module) {
    std::vector<std::string> names;
    auto* base = reinterpret_cast<const BYTE*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0) return names;
    auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    }
    return names;
}

// An executable loaded as a module keeps its import table unresolved (its loader runs only when it
// starts a process): bound here the way that start would bind it. The modules it needed are
// returned, to be freed.
std::vector<HMODULE> BindImports(HMODULE module) {
    std::vector<HMODULE> used;
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); dir.VirtualAddress && d->Name;
         ++d) {
        HMODULE from = ::LoadLibraryA(reinterpret_cast<const char*>(base + d->Name));
        if (!from) continue;
        used.push_back(from);
        const DWORD lookup = d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + lookup);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            const char* name = IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)
                                   ? reinterpret_cast<const char*>(IMAGE_ORDINAL64(names->u1.Ordinal))
                                   : reinterpret_cast<const char*>(
                                         reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
            DWORD old = 0;
            ::VirtualProtect(&slots->u1.Function, sizeof(ULONGLONG), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<ULONGLONG>(reinterpret_cast<void*>(::GetProcAddress(from, name)));
            ::VirtualProtect(&slots->u1.Function, sizeof(ULONGLONG), old, &old);
        }
    }
    return used;
}
}  // namespace

// qm-run.exe, for scripts that see only the low byte of an exit code.
TEST(ExitCodeRunner, ReportsTheFullSignedCodeOrATimeout) {
    const std::wstring run = Quoted(test::InExeDir(L"qm-run.exe")) + L" --timeout 30000 -- " +
                             Quoted(test::InExeDir(L"test-child.exe"));
    const std::pair<const wchar_t*, const char*> cases[] = {{L"0", "exit=0"}, {L"-999", "exit=-999"}, {L"256", "exit=256"},
        {L"-2147483648", "exit=-2147483648"}, {L"0xC0000005", "exit=-1073741819"}};
    for (const auto& [arg, printed] : cases) {
        const test::ProcessResult r = test::RunProcess(run + L" exit " + arg, 60000);
        EXPECT_EQ(r.exitCode, 0u);
        EXPECT_EQ(r.output.substr(0, r.output.find_first_of("\r\n")), printed);
    }
    const test::ProcessResult slow = test::RunProcess(Quoted(test::InExeDir(L"qm-run.exe")) + L" --timeout 200 -- " +
                                                      Quoted(test::InExeDir(L"test-child.exe")) + L" sleep 30000", 30000);
    EXPECT_TRUE(slow.finished);
    EXPECT_EQ(slow.exitCode, 3u);
    EXPECT_NE(slow.output.find("timeout"), std::string::npos) << slow.output;
}

// The real executable, started the way the client starts it, ends with the documented codes. (The
// plug-in hosts' codes are checked with their plug-ins.)
TEST(OverlayExecutable, EndsWithTheDocumentedCodes) {
    EXPECT_EQ(RunOverlay(L""), -999);  // no keys: the command line is rejected
    EXPECT_EQ(RunOverlay(L"--game-pid=1 --qm-pid=2 --game-process=game.exe"), -999);
    EXPECT_EQ(RunOverlay(L"--qm-client=C:\\qm --game-pid=0 --qm-pid=2"), -999);
    EXPECT_EQ(RunOverlay(L"\"--qm-client=C:\\Program Files\\QM\\\\\" --game-pid=1 --qm-pid=2"), -995);
    const std::wstring client = L"--qm-client=" + Quoted(test::InExeDir(L"client"));
    EXPECT_EQ(RunOverlay(client + L" --game-pid=1 --qm-pid=2", {{L"QMSAMPLE_STOP_AFTER_MS", L"300"}}), 0);
    EXPECT_EQ(RunOverlay(client + L" --game-pid=1 --qm-pid=2", {{L"QMSAMPLE_START_FAILS", L"1"}}), -996);
    EXPECT_EQ(RunOverlay(client + L" --game-pid=1 --qm-pid=2", {{L"QMSAMPLE_NO_CONTROLLER", L"1"}}), -995);
    EXPECT_EQ(RunOverlay(L"--oopo-type=1 --qm-client=C:\\qm --game-pid=1 --qm-pid=2"), -993);
    EXPECT_EQ(RunOverlay(L"/GOOP --qm-client=C:\\qm --game-pid=1 --qm-pid=2"), -992);
    EXPECT_EQ(RunOverlay(L"--oopo-type=2 -- --oopg"), -999);
}

TEST(OverlayExecutable, IsA64BitGuiProgramWithVersionAndManifest) {
    const std::wstring path = test::InExeDir(L"qm-overlay.exe");
    HMODULE image = ::LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    const test::ScopeExit unload([image] { ::FreeLibrary(image); });
    auto* base = reinterpret_cast<const BYTE*>(image);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    // The JSON library's members for the plug-ins, the reader and the value among them. (The lock's
    // exports are used below.)
    int jsonExports = 0;
    bool reader = false;
    for (const std::string& name : ExportNames(image)) {
        if (name.find("4Json") != std::string::npos) ++jsonExports;
        if (name.find("CharReaderBuilder") != std::string::npos) reader = true;
    }
    EXPECT_GT(jsonExports, 100);
    EXPECT_TRUE(reader);

    HRSRC res = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(res, nullptr);
    const char* text = static_cast<const char*>(::LockResource(::LoadResource(image, res)));
    const std::string manifest(text, ::SizeofResource(image, res));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_EQ(manifest.find("dpiAware"), std::string::npos);
    EXPECT_EQ(manifest.find("dpiAwareness"), std::string::npos);

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    for (DWORD high : {fixed->dwFileVersionMS, fixed->dwProductVersionMS}) EXPECT_EQ(high, (2u << 16) | 2u);
    for (DWORD low : {fixed->dwFileVersionLS, fixed->dwProductVersionLS}) EXPECT_EQ(low, (300u << 16) | 10u);
}

// The lock as an MSVC-built plug-in reaches it: by the decorated names in the executable's own export
// table, through plain function pointers with `this` first, on storage laid out as MSVC lays the class
// out (vtable pointer, then the section).
TEST(OverlayExecutable, ItsLockWorksThroughTheMsvcNames) {
    HMODULE image = ::LoadLibraryW(test::InExeDir(L"qm-overlay.exe").c_str());
    ASSERT_NE(image, nullptr);
    const std::vector<HMODULE> imports = BindImports(image);
    const test::ScopeExit unload([&] {
        ::FreeLibrary(image);
        for (HMODULE m : imports) ::FreeLibrary(m);
    });
    const auto entry = [image](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(image, name)); };
    using Constructor = void* (*)(void* self);
    using Member = void (*)(void* self);
    using TryMember = bool (*)(void* self);
    const auto construct = reinterpret_cast<Constructor>(entry("??0CriticalSection@base@@QEAA@XZ"));
    const auto destroy = reinterpret_cast<Member>(entry("??1CriticalSection@base@@UEAA@XZ"));
    const auto lock = reinterpret_cast<Member>(entry("?Lock@CriticalSection@base@@QEAAXXZ"));
    const auto unlock = reinterpret_cast<Member>(entry("?Unlock@CriticalSection@base@@QEAAXXZ"));
    const auto tryLock = reinterpret_cast<TryMember>(entry("?TryLock@CriticalSection@base@@QEAA_NXZ"));
    ASSERT_TRUE(construct && destroy && lock && unlock && tryLock);

    struct MsvcObject {
        void* vftable;
        CRITICAL_SECTION section;
    };
    static_assert(offsetof(MsvcObject, section) == 8 && sizeof(MsvcObject) == 48, "MSVC's x64 layout");
    MsvcObject object;
    std::memset(&object, 0xCD, sizeof(object));
    EXPECT_EQ(construct(&object), &object);  // MSVC's caller goes on with what RAX holds
    const auto tryFromOtherThread = [&] {
        bool got = false;
        std::thread([&] {
            got = tryLock(&object);
            if (got) unlock(&object);
        }).join();
        return got;
    };
    lock(&object);
    EXPECT_EQ(reinterpret_cast<DWORD_PTR>(object.section.OwningThread), ::GetCurrentThreadId());
    EXPECT_FALSE(tryFromOtherThread());
    unlock(&object);
    EXPECT_TRUE(tryFromOtherThread());

    // Increments made under the lock get lost as soon as two threads are inside it together.
    volatile int counter = 0;
    const auto count = [&] {
        for (int i = 0; i < 2000; ++i) {
            lock(&object);
            const int seen = counter;
            ::SwitchToThread();
            counter = seen + 1;
            unlock(&object);
        }
    };
    std::thread a(count), b(count);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
    destroy(&object);
}

// The real executable logs into the user's Local AppData: each run here gets a profile of its own.
TEST(OverlayExecutable, ListsEveryLogKeyInLookupOrderOnItsFirstRun) {
    const test::LogProfile profile(false);
    EXPECT_EQ(RunOverlay(L"--game-pid=1 --qm-pid=2 --game-process=game.exe", profile.Env()), -999);
    EXPECT_EQ(test::ReadFileBytes(profile.Folder() + L"\\QMLog.cfg"),
              test::Utf16Bytes(L"[MaxLinesPerFile]\r\n[MaxLogFiles]\r\n[Measurements]\r\nCRITICAL\r\nERROR\r\n"
                               L"WARNING\r\nSEVERITY_LOW\r\nSEVERITY_NORMAL\r\nSEVERITY_MEDIUM\r\nSEVERITY_HIGH\r\n"
                               L"SEVERITY_CRITICAL\r\nFlushLogger\r\nFlushLogger_Fast\r\nFolderHandler\r\n"
                               L"FolderHandler_Fast\r\nOOPOHooksManager\r\nOOPOHooksManager_Fast\r\n"
                               L"InputBlockerProxy\r\nInputBlockerProxy_Fast\r\n"));
    const std::vector<std::wstring> logs = test::ListFiles(profile.Folder(), L"*.html");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].rfind(L"qm-overlay_game.exe_1_", 0), 0u);
    EXPECT_EQ(logs[0].substr(logs[0].size() - 10), L".Game.html");
}

TEST(OverlayExecutable, LogsWhyTheCommandLineWasRejected) {
    const test::LogProfile profile;
    EXPECT_EQ(RunOverlay(L"--game-pid=1234 --QM-PID=2 \"--game-process=my game.exe\"", profile.Env()), -999);
    const std::string file = profile.Log(L"qm-overlay_my game.exe_1234_*.Game.html");
    ASSERT_FALSE(file.empty());
    const char* expected[] = {
        "<td>OOPManager::Init</td><td style=\"background-color:FFFFFF\">initializing oopo manager</td>",
        ("<td>OOPManager::ProcessCommandLine</td><td style=\"background-color:FFFFFF\">Process command line: "
         "--game-pid=1234 --qm-pid=2 --game-process=&quot;my game.exe&quot;</td>"),
        "<tr class=\"error\">",
        "<td>OOPManager::ProcessCommandLine</td><td style=\"background-color:FFFFFF\">qmclient is missing</td>",
        "<td>OOPManager::Init</td><td style=\"background-color:FFFFFF\">fail to process command line</td>",
    };
    size_t at = 0;
    for (const char* text : expected) {
        const size_t found = file.find(text, at);
        EXPECT_NE(found, std::string::npos) << text << "\n" << file;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(file.substr(file.size() - 5), "html>");
}
