#include "crash/CrashHandlerReport.h"

#include <dbghelp.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "common/DllHelper.h"
#include "common/UniqueHandle.h"
#include "crash/ReportBuffer.h"
#include "crash/ReportThread.h"

using namespace Overlay::Crash;

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

MiniDumpWriteDumpFn MiniDumpWriter() {
    static const HMODULE dbghelp = base::dll_helper::LoadSystemLibrary(L"Dbghelp.dll");
    static const MiniDumpWriteDumpFn fn =
        dbghelp ? reinterpret_cast<MiniDumpWriteDumpFn>(
                      reinterpret_cast<void*>(::GetProcAddress(dbghelp, "MiniDumpWriteDump")))
                : nullptr;
    return fn;
}

}  // namespace

bool CrashHandlerReport::WriteDump(const char* folder, EXCEPTION_POINTERS* pointers) {
    const MiniDumpWriteDumpFn write = MiniDumpWriter();
    if (!write) return false;
    const std::string path = std::string(folder ? folder : "") + "\\CrashDump.dmp";
    const base::UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        char message[128];
        std::snprintf(message, sizeof(message), "Error creating dump file, err=%d",
                      static_cast<int>(::GetLastError()));
        std::lock_guard<std::mutex> guard(ReportLock());
        gReport.Printf("%s", message);
        ::OutputDebugStringA(message);
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = ReportedThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = TRUE;
    const BOOL ok = write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.Get(),
                          static_cast<MINIDUMP_TYPE>(MiniDumpWithUnloadedModules | MiniDumpWithProcessThreadData),
                          pointers ? &info : nullptr, nullptr, nullptr);
    return ok != FALSE;
}
