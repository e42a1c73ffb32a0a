#pragma once
#include <windows.h>

#include <cstdint>

// How the process ends when nothing handles a fault or a C++ exception, on any thread, in the host
// or in a library it loaded: never through the system's fault dialog (which would hold the overlay
// over the game until someone kills it), but with the crash report as the switches select it,
// the caller's last words (the log's last rows and its footer), then at once with a known code.
class FatalEnd {
public:
    // The code that a C++ exception nobody catches ends the process with: the one its runtime
    // raises (MSVC-built libraries raise 0xE06D7363 whatever the host was built with).
#if defined(_MSC_VER)
    static constexpr uint32_t kUncaughtCxx = 0xE06D7363;
#else
    static constexpr uint32_t kUncaughtCxx = 0x20474343;
#endif
    // abort() from any module: the code its report carries, and the runtime's own exit code.
    static constexpr uint32_t kAbortReport = 0x40000015;
    static constexpr uint32_t kAbortExit = 3;

    // Gets the code, the report's summary line and the faulting module's path (empty when unknown).
    using LastWords = void (*)(uint32_t code, const char* summary, const char* module);

    // From now on: no fault dialog, and every unhandled fault ends the process as described above.
    static void Install(LastWords lastWords);
    // Ends the process with `exitCode` after the last words, with no report (a hang, a stuck exit).
    // Once per process: a second caller waits for the first one's end.
    [[noreturn]] static void EndProcess(uint32_t exitCode, const char* summary);
};
