#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "common/ProcessUtils.h"
#include "core/CommandLineArgs.h"
#include "tests/support/TestSupport.h"

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

TEST(FindProcessIdByName, FindsAMatchInAnyCaseButNeverAPathOrAPart) {
    UniqueChild exe;
    test::ChildProcess first(exe.Command(L"sleep 30000"));
    test::ChildProcess second(exe.Command(L"sleep 30000"));
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(second.Started());
    const DWORD found = FindProcessIdByName(exe.name.c_str());
    EXPECT_TRUE(found == first.Pid() || found == second.Pid()) << found;
    EXPECT_EQ(FindProcessIdByName(Upper(exe.name).c_str()), found);  // the same one, the first in the list
    EXPECT_EQ(FindProcessIdByName(exe.path.c_str()), 0u);
    EXPECT_EQ(FindProcessIdByName(exe.name.substr(0, exe.name.size() - 4).c_str()), 0u);
    EXPECT_EQ(FindProcessIdByName(L"no-such-program.exe"), 0u);
    EXPECT_EQ(FindProcessIdByName(L""), 0u);
    EXPECT_EQ(FindProcessIdByName(nullptr), 0u);
}

