#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "common/RegistrySettings.h"
#include "tests/support/TestSupport.h"

namespace Registry = Overlay::Common::Registry;

namespace {
// A key of this test process's own, so that parallel tests never see each other's values.
class ScratchKey {
public:
    ScratchKey() : path_(L"Software\\QuillmarQA\\OverlayTests\\" + std::to_wstring(::GetCurrentProcessId())) {}
    ~ScratchKey() { ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
    const wchar_t* Path() const { return path_.c_str(); }
    void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, path_.c_str(), name, type, data, size), ERROR_SUCCESS);
    }

private:
    std::wstring path_;
};
}  // namespace

TEST(RegistrySwitches, OnlyANonZeroDwordOrFourByteBinaryCounts) {
    ScratchKey key;
    const DWORD one = 1, zero = 0, seven = 7;
    const unsigned char bin4[4] = {1, 0, 0, 0};
    const unsigned char bin8[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    const unsigned char bin2[2] = {1, 0};
    const ULONGLONG qword = 1;
    const wchar_t text[] = L"1";
    key.Set(L"dword1", REG_DWORD, &one, sizeof(one));
    key.Set(L"dword0", REG_DWORD, &zero, sizeof(zero));
    key.Set(L"dword7", REG_DWORD, &seven, sizeof(seven));
    key.Set(L"binary4", REG_BINARY, bin4, sizeof(bin4));
    key.Set(L"binary8", REG_BINARY, bin8, sizeof(bin8));
    key.Set(L"binary2", REG_BINARY, bin2, sizeof(bin2));
    key.Set(L"qword", REG_QWORD, &qword, sizeof(qword));
    key.Set(L"text", REG_SZ, text, sizeof(text));
    key.Set(L"expand", REG_EXPAND_SZ, text, sizeof(text));

    EXPECT_TRUE(Registry::ReadSwitch(key.Path(), L"dword1"));
    EXPECT_FALSE(Registry::ReadSwitch(key.Path(), L"dword0"));
    EXPECT_EQ(Registry::ReadDword(key.Path(), L"dword7"), 7u);
    EXPECT_TRUE(Registry::ReadSwitch(key.Path(), L"binary4"));
    for (const wchar_t* off : {L"binary8", L"binary2", L"qword", L"text", L"expand", L"missing"}) {
        EXPECT_FALSE(Registry::ReadSwitch(key.Path(), off)) << off;
        EXPECT_EQ(Registry::ReadDword(key.Path(), off), 0u) << off;
    }
    EXPECT_FALSE(Registry::ReadSwitch(L"Software\\QuillmarQA\\NoSuchKeyAtAll", L"dword1"));
}

TEST(ShellFolder, ExpandsTheUsersValueAndIsEmptyWithoutOne) {
    test::TempDir profile;
    test::ScopedEnv userProfile(L"USERPROFILE", profile.Path());
    wchar_t folder[FolderHandler::kShellFolderChars];
    EXPECT_TRUE(FolderHandler::getShellFolder(L"Local AppData", folder));
    EXPECT_EQ(std::wstring(folder), profile.Path() + L"\\AppData\\Local");

    folder[0] = L'x';
    EXPECT_TRUE(FolderHandler::getShellFolder(L"QM No Such Shell Folder", folder));
    EXPECT_STREQ(folder, L"");
}

TEST(ShellFolder, AValueTooLongForTheBufferGivesEmpty) {
    const wchar_t* shellFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const std::wstring name = L"QM Test Folder " + std::to_wstring(::GetCurrentProcessId());
    const test::ScopedRegistryValue removedAtTheEnd(shellFolders, name.c_str(), std::nullopt);
    const std::wstring longPath = L"C:\\" + std::wstring(400, L'x');
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, shellFolders, name.c_str(), REG_SZ, longPath.c_str(),
                                static_cast<DWORD>((longPath.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    wchar_t folder[FolderHandler::kShellFolderChars + 8];
    folder[FolderHandler::kShellFolderChars] = L'#';
    EXPECT_TRUE(FolderHandler::getShellFolder(name.c_str(), folder));
    EXPECT_STREQ(folder, L"");
    EXPECT_EQ(folder[FolderHandler::kShellFolderChars], L'#');  // nothing written past the buffer
}
