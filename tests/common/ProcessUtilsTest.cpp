#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include <gtest/gtest.h>

#include "common/ProcessUtils.h"
#include "core/CommandLineArgs.h"
#include "tests/TestSupport.h"

using base::process::FindProcessIdByName;

namespace {
// A copy of test-child.exe under a name that no other test uses.
struct UniqueChild {
    test::TempDir dir;
    std::wstring name = L"qm-find-" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    std::wstring path = dir / name;
    UniqueChild() { ::CopyFileW(test::InExeDir(L"test-child.exe").c_str(), path.c_str(), FALSE); }
    std::wstring Command(const std::wstring& args) const { return Overlay::Common::QuoteArgument(path) + L" " + args; }
};

std::wstring Upper(std::wstring s) {
    ::CharUpperBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}
}  // namespace

TEST(FindProcessIdByName, FindsTheFirstMatchInAnyCase) {
    UniqueChild exe;
    test::ChildProcess first(exe.Command(L"sleep 30000"));
    test::ChildProcess second(exe.Command(L"sleep 30000"));
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(second.Started());

    // The first of the two in snapshot order is the answer.
    DWORD expected = 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e{};
    e.dwSize = sizeof(e);
    for (BOOL more = ::Process32FirstW(snapshot, &e); more && !expected; more = ::Process32NextW(snapshot, &e)) {
        if (_wcsicmp(e.szExeFile, exe.name.c_str()) == 0) expected = e.th32ProcessID;
    }
    ::CloseHandle(snapshot);
    ASSERT_TRUE(expected == first.Pid() || expected == second.Pid());

    EXPECT_EQ(FindProcessIdByName(exe.name.c_str()), expected);
    EXPECT_EQ(FindProcessIdByName(Upper(exe.name).c_str()), expected);
}

TEST(FindProcessIdByName, PathsAndUnknownNamesNeverMatch) {
    UniqueChild exe;
    test::ChildProcess child(exe.Command(L"sleep 30000"));
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(FindProcessIdByName(exe.name.c_str()), child.Pid());
    EXPECT_EQ(FindProcessIdByName(exe.path.c_str()), 0u);
    EXPECT_EQ(FindProcessIdByName(exe.name.substr(0, exe.name.size() - 4).c_str()), 0u);
    EXPECT_EQ(FindProcessIdByName(L"no-such-program.exe"), 0u);
    EXPECT_EQ(FindProcessIdByName(L""), 0u);
    EXPECT_EQ(FindProcessIdByName(nullptr), 0u);
}
