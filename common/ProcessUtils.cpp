#include "common/ProcessUtils.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "common/UniqueHandle.h"

namespace base::process {

namespace {
std::wstring Lower(const wchar_t* s) {
    std::wstring out(s ? s : L"");
    if (!out.empty()) ::CharLowerBuffW(out.data(), static_cast<DWORD>(out.size()));
    return out;
}
}  // namespace

uint32_t FindProcessIdByName(const wchar_t* exeName) {
    // A process still being created shows an empty name: an empty name finds nothing.
    const std::wstring wanted = Lower(exeName);
    if (wanted.empty()) return 0;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (Lower(entry.szExeFile) == wanted) return entry.th32ProcessID;
    }
    return 0;
}

}  // namespace base::process
