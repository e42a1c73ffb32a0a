// ERRORLOG.TXT: the summary, the process, the system, the fault's registers and the modules.
#include "crash/CrashHandlerReport.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "common/UniqueHandle.h"
#include "crash/ErrorLog.h"
#include "crash/ModuleList.h"
#include "crash/ReportBuffer.h"
#include "crash/ReportThread.h"

using namespace Overlay::Crash;

namespace {

constexpr DWORD kAccessViolation = 0xC0000005;

std::string ExecutablePath() {
    char path[MAX_PATH * 2] = {};
    if (::GetModuleFileNameA(nullptr, path, sizeof(path)) == 0) return std::string();
    return path;
}

std::string ExecutableName() {
    const std::string path = ExecutablePath();
    if (path.empty()) return "Unknown";
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void WriteRegisters(const CONTEXT* c) {
    gReport.Printf("\r\n");
    gReport.Printf("Context:\r\n");
    gReport.Printf("RAX=%016llX  RBX=%016llX  RCX=%016llX  RDX=%016llX  RSI=%016llX\n", c->Rax, c->Rbx, c->Rcx,
                   c->Rdx, c->Rsi);
    gReport.Printf(" RDI=%016llX  RBP=%016llX  RSP=%016llX  RIP=%016llX  FLG=%016llX\n", c->Rdi, c->Rbp, c->Rsp,
                   c->Rip, static_cast<unsigned long long>(c->EFlags));
    gReport.Printf(" R8=%016llX   R9=%016llX  R10=%016llX  R11=%016llX  R12=%016llX\n", c->R8, c->R9, c->R10, c->R11,
                   c->R12);
    gReport.Printf("R13=%016llX  R14=%016llX  R15=%016llX", c->R13, c->R14, c->R15);
}

}  // namespace

namespace Overlay::Crash {

void FormatDosTime(const FILETIME& utc, char* out, size_t size) {
    FILETIME local{};
    WORD date = 0, time = 0;
    ::FileTimeToLocalFileTime(&utc, &local);
    ::FileTimeToDosDateTime(&local, &date, &time);
    std::snprintf(out, size, "%d/%d/%d %02d:%02d:%02d", (date >> 5) & 15, date & 31, (date >> 9) + 1980,
                  time >> 11, (time >> 5) & 63, (time & 31) * 2);
}

bool IsAccessViolationWithAddress(const EXCEPTION_RECORD* record) {
    return record && record->ExceptionCode == kAccessViolation && record->NumberParameters >= 2;
}

void AccessViolationLine(const EXCEPTION_RECORD* record, char* out, size_t size) {
    std::snprintf(out, size, "%s location %08x caused an access violation.\r\n",
                  record->ExceptionInformation[0] == 0 ? "Read from" : "Write to",
                  static_cast<unsigned>(record->ExceptionInformation[1] & 0xFFFFFFFFu));
}

}  // namespace Overlay::Crash

const char* CrashHandlerReport::GetExceptionName(uint32_t code) {
    static const struct {
        uint32_t code;
        const char* name;
    } kNames[] = {
        {0x40010005, "a Control-C"},
        {0x40010008, "a Control-Break"},
        {0x80000002, "a Datatype Misalignment"},
        {0x80000003, "a Breakpoint"},
        {0xC0000005, "an Access Violation"},
        {0xC0000006, "an In Page Error"},
        {0xC0000017, "a No Memory"},
        {0xC000001D, "an Illegal Instruction"},
        {0xC0000025, "a Noncontinuable Exception"},
        {0xC0000026, "an Invalid Disposition"},
        {0xC000008C, "a Array Bounds Exceeded"},
        {0xC000008D, "a Float Denormal Operand"},
        {0xC000008E, "a Float Divide by Zero"},
        {0xC000008F, "a Float Inexact Result"},
        {0xC0000090, "a Float Invalid Operation"},
        {0xC0000091, "a Float Overflow"},
        {0xC0000092, "a Float Stack Check"},
        {0xC0000093, "a Float Underflow"},
        {0xC0000094, "an Integer Divide by Zero"},
        {0xC0000095, "an Integer Overflow"},
        {0xC0000096, "a Privileged Instruction"},
        {0xC00000FD, "a Stack Overflow"},
        {0xC0000142, "a DLL Initialization Failed"},
        {0xE06D7363, "a Microsoft C++ Exception"},
        {0x20474343, "a C++ Exception"},  // thrown by a GCC-built module
        {0x40000015, "an Abort"},
    };
    for (const auto& entry : kNames) {
        if (entry.code == code) return entry.name;
    }
    return "an Unknown exception type";
}

std::string CrashHandlerReport::SummaryLine(uint32_t code) {
    char line[512];
    std::snprintf(line, sizeof(line), "%s caused %s (0x%08x)", ExecutableName().c_str(), GetExceptionName(code),
                  static_cast<unsigned>(code));
    return line;
}

bool CrashHandlerReport::WriteErrorLog(EXCEPTION_POINTERS* pointers, const char* folder, char* summary,
                                       size_t summarySize) {
    const std::string path = std::string(folder ? folder : "") + "\\ERRORLOG.TXT";
    const base::UniqueHandle owned(
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
    const HANDLE file = owned.Get();
    if (!file) {
        ::OutputDebugStringA("Error creating exception report\r\n");
        return false;
    }
    ::SetFilePointer(file, 0, nullptr, FILE_END);
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    const uint32_t code = record ? record->ExceptionCode : 0;

    std::lock_guard<std::mutex> guard(ReportLock());
    gReport.Begin(file);
    const std::string line = SummaryLine(code);
    gReport.Printf("%s", line.c_str());
    if (summary && summarySize > 0) std::snprintf(summary, summarySize, "%s", line.c_str());
    char module[MAX_PATH * 2];
    uintptr_t offset = 0;
    if (FaultingModule(pointers, module, sizeof(module), &offset)) {
        gReport.Printf("\r\nFaulting module: %s (offset 0x%llx)", module, static_cast<unsigned long long>(offset));
    }

    gReport.Printf("\r\nProcessId=%d (0x%x) ThreadId=%d (0x%x)\r\n", static_cast<int>(::GetCurrentProcessId()),
                   static_cast<unsigned>(::GetCurrentProcessId()), static_cast<int>(ReportedThreadId()),
                   static_cast<unsigned>(ReportedThreadId()));

    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    char when[64];
    FormatDosTime(now, when, sizeof(when));
    gReport.Printf("\r\nError occurred at %s.\r\n", when);
    const std::string exe = ExecutablePath();
    char user[256] = "Unknown";
    DWORD userSize = sizeof(user);
    if (!::GetUserNameA(user, &userSize)) std::snprintf(user, sizeof(user), "Unknown");
    gReport.Printf("%s, run by %s.\r\n", exe.empty() ? "Unknown" : exe.c_str(), user);
    char os[kOsNameChars];
    if (GetOsName(os, sizeof(os))) {
        gReport.Printf("Operating system:  %s\r\n", os);
    } else {
        gReport.Printf("Operating system:  Could not Determine\r\n");
    }
    SYSTEM_INFO si{};
    ::GetSystemInfo(&si);
    gReport.Printf("%d processor(s), type %d.\r\n", static_cast<int>(si.dwNumberOfProcessors),
                   static_cast<int>(si.dwProcessorType));
    MEMORYSTATUS ms{};
    ms.dwLength = sizeof(ms);
    ::GlobalMemoryStatus(&ms);
    auto mib = [](SIZE_T bytes) { return static_cast<int>((static_cast<unsigned long long>(bytes) + 0xFFFFF) >> 20); };
    gReport.Printf("%d%% memory in use.\r\n", static_cast<int>(ms.dwMemoryLoad));
    gReport.Printf("%d MBytes physical memory.\r\n", mib(ms.dwTotalPhys));
    gReport.Printf("%d MBytes physical memory free.\r\n", mib(ms.dwAvailPhys));
    gReport.Printf("%d MBytes paging file.\r\n", mib(ms.dwTotalPageFile));
    gReport.Printf("%d MBytes paging file free.\r\n", mib(ms.dwAvailPageFile));
    gReport.Printf("%d MBytes user address space.\r\n", mib(ms.dwTotalVirtual));
    gReport.Printf("%d MBytes user address space free.\r\n", mib(ms.dwAvailVirtual));

    if (IsAccessViolationWithAddress(record)) {
        char av[128];
        AccessViolationLine(record, av, sizeof(av));
        gReport.Printf("%s", av);
        ::OutputDebugStringA(av);
    }
    if (pointers && pointers->ContextRecord) WriteRegisters(pointers->ContextRecord);
    gReport.Printf("code at the instruction pointer isn't available under x64.\r\n");
    gReport.Printf("stack dump isn't available under x64.\r\n");
    WriteModuleList();
    gReport.Printf("\r\n===== [end of %s] =====\r\n", "ERRORLOG.TXT");
    gReport.Drain();
    gReport.Begin(nullptr);
    return true;
}
