#pragma once
// The contract between the overlay host and the GEP and GOOP plug-in libraries.
#include <cstddef>
#include <cstdint>

namespace qm {

// GEP plug-ins (and in-game plug-ins loaded on the controller's request).
constexpr const char* kStartPluginExport = "StartPluginOOP";
using StartPluginOOPFn = bool (*)(const wchar_t* gameProcessName, int32_t reserved);

// GOOP plug-ins: "Init" with this block, "Tick" from every update, "Shutdown" at the end. The
// strings stay the host's and live until "Init" returns.
struct GoopInitParams {
    uint32_t gamePid;                // 0
    int32_t gameId;                  // 4
    const char* logFolder;           // 8: null when empty
    int32_t logLevel;                // 16: 2 when absent
    const char* configFile;          // 24: empty text when absent
    const wchar_t* gameProcessName;  // 32
    uint32_t channelId;              // 40
    bool screenTester;               // 44
    uint64_t zero;                   // 48: always 0
    const char* vgepFile;            // 56: null when absent, null or empty
};
static_assert(offsetof(GoopInitParams, gameId) == 4, "x64 layout");
static_assert(offsetof(GoopInitParams, logFolder) == 8, "x64 layout");
static_assert(offsetof(GoopInitParams, logLevel) == 16, "x64 layout");
static_assert(offsetof(GoopInitParams, configFile) == 24, "x64 layout");
static_assert(offsetof(GoopInitParams, gameProcessName) == 32, "x64 layout");
static_assert(offsetof(GoopInitParams, channelId) == 40, "x64 layout");
static_assert(offsetof(GoopInitParams, screenTester) == 44, "x64 layout");
static_assert(offsetof(GoopInitParams, zero) == 48, "x64 layout");
static_assert(offsetof(GoopInitParams, vgepFile) == 56, "x64 layout");
static_assert(sizeof(GoopInitParams) == 64, "GoopInitParams is 64 bytes");

constexpr const char* kGoopInitExport = "Init";
constexpr const char* kGoopTickExport = "Tick";
constexpr const char* kGoopShutdownExport = "Shutdown";
using GoopInitFn = bool (*)(const GoopInitParams* params);
using GoopTickFn = void (*)();
using GoopShutdownFn = bool (*)();

}  // namespace qm
