#include "common/ThreadName.h"

namespace base {

#if defined(_MSC_VER)

void SetCurrentThreadName(const char* name) {
    const ThreadNameInfo info{0x1000, name, static_cast<DWORD>(-1), 0};
    __try {
        ::RaiseException(kSetThreadNameException, 0, sizeof(info) / sizeof(ULONG_PTR),
                         reinterpret_cast<const ULONG_PTR*>(&info));
    } __except (EXCEPTION_EXECUTE_HANDLER) {
    }
}

#else

// GCC has no __try: a vectored handler continues past the naming exception instead. It is added
// once and only ever continues that one exception code, which is raised as continuable; a debugger
// still sees it first.
namespace {
LONG CALLBACK SwallowThreadNameException(EXCEPTION_POINTERS* info) {
    if (info && info->ExceptionRecord &&
        info->ExceptionRecord->ExceptionCode == kSetThreadNameException &&
        (info->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void InstallSwallowHandler() {
    static const PVOID handler = ::AddVectoredExceptionHandler(1, SwallowThreadNameException);
    (void)handler;
}
}  // namespace

void SetCurrentThreadName(const char* name) {
    InstallSwallowHandler();
    const ThreadNameInfo info{0x1000, name, static_cast<DWORD>(-1), 0};
    ::RaiseException(kSetThreadNameException, 0, sizeof(info) / sizeof(ULONG_PTR),
                     reinterpret_cast<const ULONG_PTR*>(&info));
}

#endif

}  // namespace base
