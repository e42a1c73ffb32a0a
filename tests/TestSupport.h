#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace test {

// The folder of the running test program; the product and the tools are built next to it.
std::wstring ExeDir();
std::wstring InExeDir(const std::wstring& name);

struct ProcessResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
    std::string output;  // standard output and error, as written
};

// Starts `commandLine`, collects its output and waits at most `timeoutMs` (then ends it).
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs);

// Runs `arguments` through qm-run.exe and returns the signed exit code it reported; `timedOut` is
// set when the runner said "timeout". Fails the calling test when the runner says neither.
bool RunThroughRunner(const std::wstring& arguments, DWORD timeoutMs, int32_t* exitCode, bool* timedOut);

}  // namespace test
