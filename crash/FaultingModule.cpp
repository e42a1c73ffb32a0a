#include "crash/CrashHandlerReport.h"

#include <string>

namespace {

HMODULE ModuleAt(DWORD64 address) {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(address), &module);
    return module;
}

// Raised exceptions (C++ throws, breakpoints) start inside the system's own libraries: the module
// to name is the first caller outside them.
bool IsSystemModule(HMODULE module) {
    static const HMODULE kSystem[] = {::GetModuleHandleW(L"ntdll.dll"), ::GetModuleHandleW(L"kernelbase.dll"),
                                      ::GetModuleHandleW(L"kernel32.dll")};
    for (HMODULE system : kSystem) {
        if (module && module == system) return true;
    }
    return false;
}

DWORD64 FaultSite(const EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    if (!record) return 0;
    const auto address = reinterpret_cast<DWORD64>(record->ExceptionAddress);
    if (!pointers->ContextRecord || !IsSystemModule(ModuleAt(address))) return address;
    CONTEXT c = *pointers->ContextRecord;
    for (int depth = 0; depth < 64 && c.Rip != 0; ++depth) {
        const HMODULE module = ModuleAt(c.Rip);
        if (!module) break;
        if (!IsSystemModule(module)) return c.Rip;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(c.Rip, &imageBase, nullptr);
        if (function) {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, c.Rip, function, &c, &handlerData, &establisher, nullptr);
        } else {
            // A leaf: the return address is on top of the stack, if the stack can be read at all.
            DWORD64 ret = 0;
            if (!::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<void*>(c.Rsp), &ret, sizeof(ret), nullptr)) break;
            c.Rip = ret;
            c.Rsp += sizeof(ret);
        }
    }
    return address;
}

}  // namespace

bool CrashHandlerReport::FaultingModule(const EXCEPTION_POINTERS* pointers, char* path, size_t size,
                                        uintptr_t* offset) {
    if (!path || size == 0) return false;
    path[0] = '\0';
    const DWORD64 site = FaultSite(pointers);
    const HMODULE module = site ? ModuleAt(site) : nullptr;
    if (!module || ::GetModuleFileNameA(module, path, static_cast<DWORD>(size)) == 0) return false;
    if (offset) *offset = static_cast<uintptr_t>(site - reinterpret_cast<DWORD64>(module));
    return true;
}

std::string CrashHandlerReport::FileName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
