#include "tests/TestSupport.h"

#include <cstdlib>
#include <thread>

#include "common/UniqueHandle.h"
#include "core/CommandLineArgs.h"

namespace test {

std::wstring ExeDir() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring s(path, n);
    const size_t slash = s.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : s.substr(0, slash);
}

std::wstring InExeDir(const std::wstring& name) { return ExeDir() + L"\\" + name; }

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readRaw = nullptr;
    HANDLE writeRaw = nullptr;
    if (!::CreatePipe(&readRaw, &writeRaw, &sa, 0)) return result;
    base::UniqueHandle readEnd(readRaw);
    base::UniqueHandle writeEnd(writeRaw);
    ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.Get();
    si.hStdError = writeEnd.Get();
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                          &pi)) {
        return result;
    }
    result.started = true;
    base::UniqueHandle process(pi.hProcess);
    base::UniqueHandle thread(pi.hThread);
    writeEnd.Reset();

    std::string output;
    std::thread reader([&output, h = readEnd.Get()] {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) output.append(buffer, got);
    });
    if (::WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0) {
        result.finished = true;
        ::GetExitCodeProcess(process.Get(), &result.exitCode);
    } else {
        ::TerminateProcess(process.Get(), 1);
        ::WaitForSingleObject(process.Get(), 5000);
    }
    reader.join();
    result.output = output;
    return result;
}

bool RunThroughRunner(const std::wstring& arguments, DWORD timeoutMs, int32_t* exitCode, bool* timedOut) {
    const std::wstring runner = Overlay::Common::QuoteArgument(InExeDir(L"qm-run.exe"));
    const std::wstring line = runner + L" --timeout " + std::to_wstring(timeoutMs) + L" -- " + arguments;
    const ProcessResult r = RunProcess(line, timeoutMs + 30000);
    if (!r.finished) return false;
    *timedOut = r.output.find("timeout") != std::string::npos;
    const size_t at = r.output.find("exit=");
    if (at != std::string::npos) {
        *exitCode = static_cast<int32_t>(std::strtol(r.output.c_str() + at + 5, nullptr, 10));
        return true;
    }
    return *timedOut;
}

}  // namespace test
