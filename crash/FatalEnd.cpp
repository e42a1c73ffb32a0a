#include "crash/FatalEnd.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>

#include "crash/CrashHandlerReport.h"

namespace {

std::atomic<FatalEnd::LastWords> gLastWords{nullptr};
std::atomic<DWORD> gEndingThread{0};

// Only one thread ends the process; any other that gets here meanwhile waits for that end, and a
// fault inside the last words themselves ends the process at once.
void ClaimTheEnd(uint32_t code) {
    const DWORD self = ::GetCurrentThreadId();
    DWORD first = 0;
    if (gEndingThread.compare_exchange_strong(first, self)) return;
    if (first != self) ::Sleep(30000);
    ::TerminateProcess(::GetCurrentProcess(), code);
}

[[noreturn]] void Finish(uint32_t exitCode, uint32_t reportCode, EXCEPTION_POINTERS* pointers) {
    char summary[512] = "";
    char module[MAX_PATH * 2] = "";
    if (pointers) {
        CrashHandlerReport::ReportFault(reportCode, pointers, summary, sizeof(summary));
        CrashHandlerReport::FaultingModule(pointers, module, sizeof(module), nullptr);
    }
    if (!summary[0]) std::snprintf(summary, sizeof(summary), "%s", CrashHandlerReport::SummaryLine(reportCode).c_str());
    if (FatalEnd::LastWords last = gLastWords.load()) last(exitCode, summary, module);
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
    for (;;) ::Sleep(INFINITE);
}

LONG WINAPI Unhandled(EXCEPTION_POINTERS* info) {
    const uint32_t code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
    ClaimTheEnd(code);
    Finish(code, code, info);
}

HMODULE ModuleAt(const void* address) {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(address), &module);
    return module;
}

// Who called abort() or terminate: the first caller outside this handler's module, the C runtime and
// the system (a library that gave up); the handler's own caller when there is none.
void* Culprit() {
    const HMODULE self = ModuleAt(reinterpret_cast<const void*>(&Culprit));
    const HMODULE runtime[] = {::GetModuleHandleW(L"msvcrt.dll"), ::GetModuleHandleW(L"ucrtbase.dll"),
                               ::GetModuleHandleW(L"ntdll.dll"), ::GetModuleHandleW(L"kernelbase.dll"),
                               ::GetModuleHandleW(L"kernel32.dll")};
    void* frames[48] = {};
    const USHORT n = ::RtlCaptureStackBackTrace(1, 48, frames, nullptr);
    for (USHORT i = 0; i < n; ++i) {
        const HMODULE module = ModuleAt(frames[i]);
        bool skip = !module || module == self;
        for (HMODULE r : runtime) skip = skip || (r && module == r);
        if (!skip) return frames[i];
    }
    return n > 1 ? frames[1] : nullptr;
}

// Ends that the runtime reaches without an exception record: one is made for the culprit.
[[noreturn]] void FinishHere(uint32_t exitCode, uint32_t reportCode) {
    ClaimTheEnd(exitCode);
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = reportCode;
    record.ExceptionAddress = Culprit();
    EXCEPTION_POINTERS pointers{&record, &context};
    Finish(exitCode, reportCode, &pointers);
}

void Terminated() { FinishHere(FatalEnd::kUncaughtCxx, FatalEnd::kUncaughtCxx); }

void Aborted(int) { FinishHere(FatalEnd::kAbortExit, FatalEnd::kAbortReport); }

}  // namespace

void FatalEnd::Install(LastWords lastWords) {
    gLastWords = lastWords;
    ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // The report thread, and room on this thread for the hand-over after an overflow.
    CrashHandlerReport::Prepare();
    ::SetUnhandledExceptionFilter(&Unhandled);
    std::set_terminate(&Terminated);
    // The C runtime is shared with the libraries built by the same toolchain: their abort() comes here too.
    std::signal(SIGABRT, &Aborted);
}

void FatalEnd::EndProcess(uint32_t exitCode, const char* summary) {
    ClaimTheEnd(exitCode);
    if (LastWords last = gLastWords.load()) last(exitCode, summary ? summary : "", "");
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
    for (;;) ::Sleep(INFINITE);
}
