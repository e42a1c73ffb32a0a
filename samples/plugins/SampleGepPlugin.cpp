// A reference GEP plug-in: "StartPluginOOP" records what it was given and succeeds, except for a
// game called "fail.exe".
#include <windows.h>

#include <cstdint>
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
    return !(gameProcessName && std::wcscmp(gameProcessName, L"fail.exe") == 0);
}

extern "C" __declspec(dllexport) const wchar_t* SampleGep_LastGame() { return gLastGame.c_str(); }
extern "C" __declspec(dllexport) int32_t SampleGep_LastReserved() { return gLastReserved; }
extern "C" __declspec(dllexport) int SampleGep_Starts() { return gStarts; }
