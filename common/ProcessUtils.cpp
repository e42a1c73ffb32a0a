#include "common/ProcessUtils.h"

#include <windows.h>
#include <shellapi.h>
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

bool CommandLineHasSwitch(const std::wstring& commandLine, const wchar_t* name) {
    constexpr const wchar_t* kBlanks = L" \t\n\v\f\r";
    // Trimmed first, as the parser does: leading blanks would make the program path a switch.
    const size_t start = commandLine.find_first_not_of(kBlanks);
    if (start == std::wstring::npos) return false;
    const std::wstring text = commandLine.substr(start, commandLine.find_last_not_of(kBlanks) - start + 1);
    int count = 0;
    LPWSTR* tokens = ::CommandLineToArgvW(text.c_str(), &count);
    if (!tokens) return false;
    bool found = false;
    for (int i = 1; i < count && !found; ++i) {
        const std::wstring raw(tokens[i]);
        const size_t first = raw.find_first_not_of(kBlanks);
        if (first == std::wstring::npos) continue;
        const std::wstring token = raw.substr(first, raw.find_last_not_of(kBlanks) - first + 1);
        if (token == L"--") break;
        size_t prefix = 0;
        if (token.rfind(L"--", 0) == 0) {
            prefix = 2;
        } else if (token[0] == L'-' || token[0] == L'/') {
            prefix = 1;
        } else {
            continue;
        }
        const size_t eq = token.find(L'=');
        std::wstring key = token.substr(prefix, eq == std::wstring::npos ? std::wstring::npos : eq - prefix);
        for (wchar_t& c : key) {
            if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        found = key == name;
    }
    ::LocalFree(tokens);
    return found;
}

bool CommandLineHasSwitch(const wchar_t* name) { return CommandLineHasSwitch(::GetCommandLineW(), name); }

}  // namespace base::process
