#pragma once
// The contract between the overlay host and the GEP and GOOP plug-in libraries.
//
// A plug-in built with MSVC, loaded by a host built with mingw-w64, can rely on what this file
// declares: exported C functions, fixed-size blocks and plain pointers. Beyond it:
// - GOOP "params": the base64 text of a JSON object on the host's command line (GetCommandLineW in
//   the plug-in's process), for the plug-in to decode and parse with a JSON library of its own.
// - base::CriticalSection (common/Locks.h, included with QM_LOCKS_IMPORT defined to import it): the
//   host exports its constructor, destructor, Lock, Unlock and TryLock under MSVC's x64 names as
//   well (??0CriticalSection@base@@QEAA@XZ,
//   ??1CriticalSection@base@@UEAA@XZ, ?Lock@CriticalSection@base@@QEAAXXZ,
//   ?Unlock@CriticalSection@base@@QEAAXXZ, ?TryLock@CriticalSection@base@@QEAA_NXZ). The object
//   is 48 bytes (vtable pointer, then the CRITICAL_SECTION). Keep it as a member, static or local:
//   in a mingw-w64 host its vtable is GCC's, so delete through a pointer destroys it without
//   freeing it, and typeid or dynamic_cast on it fail.
// The host also exports the JSON library's classes, but only for libraries built with the host's own
// toolchain: their members take and return standard strings and containers, whose layout differs
// between the two standard libraries, so an MSVC-built plug-in must not import them.
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
