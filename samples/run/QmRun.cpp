// Starts a command line, waits for it and prints its full signed exit code, which Wine would cut to
// its low 8 bits on the way to a Linux shell.
//
//   qm-run.exe [--timeout MS] -- <program> [arguments...]
//
// Prints "exit=<signed decimal>" and exits 0; prints "timeout" (after ending the process) and
// exits 3; exits 2 when the command line is wrong or the program cannot start.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {
int Usage() {
    std::fwprintf(stderr, L"usage: qm-run.exe [--timeout MS] -- <program> [arguments...]\n");
    return 2;
}
}  // namespace

int wmain() {
    // Work on the raw command line so that the child's arguments reach it exactly as written.
    const wchar_t* line = ::GetCommandLineW();
    DWORD timeoutMs = 60000;

    // Skip our own program path (quoted or not).
    const wchar_t* p = line;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    for (;;) {
        while (*p == L' ' || *p == L'\t') ++p;
        if (std::wcsncmp(p, L"--timeout", 9) == 0 && (p[9] == L' ' || p[9] == L'=')) {
            p += 10;
            while (*p == L' ') ++p;
            wchar_t* end = nullptr;
            const unsigned long v = std::wcstoul(p, &end, 10);
            if (end == p) return Usage();
            timeoutMs = static_cast<DWORD>(v);
            p = end;
        } else if (std::wcsncmp(p, L"--", 2) == 0 && (p[2] == L' ' || p[2] == L'\t')) {
            p += 3;
            break;
        } else {
            return Usage();
        }
    }
    while (*p == L' ' || *p == L'\t') ++p;
    if (!*p) return Usage();

    std::wstring child(p);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, child.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::fwprintf(stderr, L"qm-run: cannot start: %ls (error %lu)\n", child.c_str(), ::GetLastError());
        return 2;
    }
    ::CloseHandle(pi.hThread);
    const DWORD r = ::WaitForSingleObject(pi.hProcess, timeoutMs);
    if (r != WAIT_OBJECT_0) {
        ::TerminateProcess(pi.hProcess, 1);
        ::WaitForSingleObject(pi.hProcess, 5000);
        ::CloseHandle(pi.hProcess);
        std::printf("timeout\n");
        std::fflush(stdout);
        return 3;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hProcess);
    std::printf("exit=%d\n", static_cast<int>(code));
    std::fflush(stdout);
    return 0;
}
