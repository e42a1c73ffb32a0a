// A reference GEP plug-in: "StartPluginOOP" records what it was given and succeeds, except for a
// game called "fail.exe". With QMSAMPLE_PLUGIN_WINDOW=1 it makes a window on the host's thread.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {
std::wstring gLastGame;
int32_t gLastReserved = -1;
int gStarts = 0;
}  // namespace

extern "C" __declspec(dllexport) bool StartPluginOOP(const wchar_t* gameProcessName, int32_t reserved) {
    gLastGame = gameProcessName ? gameProcessName : L"(null)";
    gLastReserved = reserved;
    ++gStarts;
    // With QMSAMPLE_GEP_RECORD naming a file, the call is written there too.
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"QMSAMPLE_GEP_RECORD", path, MAX_PATH) > 0) {
        HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char line[600];
            const int n = std::snprintf(line, sizeof(line), "StartPluginOOP %ls %d\n", gLastGame.c_str(), reserved);
            DWORD written = 0;
            ::WriteFile(file, line, static_cast<DWORD>(n), &written, nullptr);
            ::CloseHandle(file);
        }
    }
    if (::GetEnvironmentVariableW(L"QMSAMPLE_PLUGIN_WINDOW", path, MAX_PATH) > 0) {
        ::CreateWindowExW(0, L"STATIC", L"QMSamplePluginWindow", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }
    return !(gameProcessName && std::wcscmp(gameProcessName, L"fail.exe") == 0);
}

extern "C" __declspec(dllexport) const wchar_t* SampleGep_LastGame() { return gLastGame.c_str(); }
extern "C" __declspec(dllexport) int32_t SampleGep_LastReserved() { return gLastReserved; }
extern "C" __declspec(dllexport) int SampleGep_Starts() { return gStarts; }
