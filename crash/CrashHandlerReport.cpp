#include "crash/CrashHandlerReport.h"

#include <rpc.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>

#include "common/RegistrySettings.h"
#include "common/UniqueHandle.h"
#include "crash/ErrorLog.h"

using namespace Overlay::Crash;

namespace {

std::wstring LocalAppData() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return L"";
    return folder;
}

// Creates every missing level of `path`; true when it exists at the end.
bool CreateFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    ::CreateDirectoryW(path.c_str(), nullptr);
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring NewGuidText() {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) return L"";
    RPC_WSTR text = nullptr;
    if (::UuidToStringW(&guid, &text) != RPC_S_OK || !text) return L"";
    std::wstring out(reinterpret_cast<wchar_t*>(text));
    ::RpcStringFreeW(&text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(towlower(c));
    return out;
}

bool ReadSendExceptions() {
    static const bool send = Overlay::Common::Registry::ReadSwitch(Overlay::Common::Registry::kClientKey,
                                                                    Overlay::Common::Registry::kOverlaySendExceptions);
    return send;
}

}  // namespace

std::string CrashHandlerReport::Report(uint32_t code, EXCEPTION_POINTERS* pointers) {
    const std::wstring folder = CrashesFolder() + L"\\" + NewGuidText();
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    std::string preview;

    if (!ReadSendExceptions()) {
        preview = SummaryLine(code);
        if (IsAccessViolationWithAddress(record)) {
            char av[128];
            AccessViolationLine(record, av, sizeof(av));
            ::OutputDebugStringA(av);
        }
    } else if (CreateFolders(folder)) {
        char os[kOsNameChars] = "";
        GetOsName(os, sizeof(os));
        char summary[512] = "";
        WriteErrorLog(pointers, Narrow(folder).c_str(), summary, sizeof(summary));
        preview = summary;

        // Written as text: line feeds become CR LF on disk.
        SYSTEMTIME st{};
        ::GetLocalTime(&st);
        wchar_t date[64];
        std::swprintf(date, 64, L"%02d/%02d/%02d %02d:%02d:%02d", st.wMonth, st.wDay, st.wYear % 100, st.wHour,
                      st.wMinute, st.wSecond);
        char module[MAX_PATH * 2] = "";
        FaultingModule(pointers, module, sizeof(module), nullptr);
        const std::wstring json = CrashJson(preview, date, os, FileName(module));
        std::wstring lines;
        for (wchar_t c : json) {
            if (c == L'\n') lines += L'\r';
            lines += c;
        }
        const std::string bytes = Narrow(lines);
        const base::UniqueHandle file(::CreateFileA(Narrow(folder + L"\\Crash.json").c_str(), GENERIC_WRITE, 0,
                                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (file) ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    if (Overlay::Common::Registry::ReadSwitch(Overlay::Common::Registry::kOverlayKey,
                                              Overlay::Common::Registry::kCreateCrashDumps)) {
        const std::wstring dumps = DumpFolder();
        if (CreateFolders(dumps)) {
            const std::string narrow = Narrow(dumps);
            WriteDump(narrow.c_str(), pointers);
            WriteErrorLog(pointers, narrow.c_str(), nullptr, 0);
        }
    }
    return preview;
}

std::wstring CrashHandlerReport::CrashesFolder() { return LocalAppData() + L"\\Quillmar\\Crashes"; }

std::wstring CrashHandlerReport::DumpFolder() { return LocalAppData() + L"\\Quillmar\\CrashDumps"; }
