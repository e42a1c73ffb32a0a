// The structured-exception translator of the guarded steps. The two toolchains differ here, and
// only here: MSVC has the runtime's per-thread translator; GCC for mingw has neither it nor
// __try, so a vectored handler plays its part (see below).
#include <windows.h>

#include <malloc.h>

#include <exception>
#if defined(_MSC_VER)
#include <eh.h>
#endif

#include "common/GuardedStep.h"

#include <atomic>
#include <cstdio>

namespace Overlay::Common {

namespace {
std::atomic<const FaultReporter*> gReporter{nullptr};

void Prepare() {
    if (const FaultReporter* reporter = gReporter.load()) reporter->prepare();
}

void Report(uint32_t code, EXCEPTION_POINTERS* pointers, char* preview, size_t size) {
    preview[0] = '\0';
    if (const FaultReporter* reporter = gReporter.load()) reporter->report(code, pointers, preview, size);
}
}  // namespace

void SetFaultReporter(const FaultReporter* reporter) { gReporter = reporter; }

bool IsFault(uint32_t code) {
    switch (code) {
        case 0x406D1388:  // thread naming: continued by its own handler
        case 0x20474343:  // GCC's C++ exceptions and their unwinding
        case 0x21474343:
        case 0x22474343:
        case 0xE06D7363:  // C++ exceptions of other runtimes
            return false;
        case EXCEPTION_BREAKPOINT:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
            return true;
        default:
            // Errors only: informational codes (debug output among them) pass by.
            return (code & 0xC0000000u) == 0xC0000000u;
    }
}

#if defined(_MSC_VER)

namespace {
void EmptyTerminate() {}

void Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
    char preview[512];
    Report(code, pointers, preview, sizeof(preview));
    throw StructuredException(preview);
}
}  // namespace

void RunTranslated(void (*fn)(void*), void* context) {
    Prepare();
    const _se_translator_function previous = _set_se_translator(&Translate);
    const std::terminate_handler previousTerminate = std::set_terminate(&EmptyTerminate);
    try {
        fn(context);
    } catch (...) {
        std::set_terminate(previousTerminate);
        _set_se_translator(previous);
        throw;
    }
    std::set_terminate(previousTerminate);
    _set_se_translator(previous);
}

#else

// While a guarded step runs, this thread has a Guard holding the processor state captured at its
// start. A fault inside the step reaches the vectored handler first: it has the report written, marks
// the guard and resumes the thread at that captured state, as if the capture returned a second
// time. The frames of the step are abandoned without unwinding (GCC could not unwind them from an
// arbitrary faulting instruction); RunTranslated then throws StructuredException from an ordinary
// call site. The terminate handler stays as it is: GCC's runtime keeps one for the whole process,
// and swapping it here would take the fatal end away from every other thread meanwhile.
namespace {

struct Guard {
    CONTEXT resume;
    Guard* previous;
    volatile LONG faulted;
    DWORD code;
    char message[512];
};

thread_local Guard* tGuard = nullptr;

LONG CALLBACK TranslateFault(EXCEPTION_POINTERS* info) {
    Guard* guard = tGuard;
    if (!guard || !info || !info->ExceptionRecord || !info->ContextRecord) return EXCEPTION_CONTINUE_SEARCH;
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (!IsFault(code)) return EXCEPTION_CONTINUE_SEARCH;

    // A fault while reporting is not ours to catch again.
    tGuard = nullptr;
    Report(code, info, guard->message, sizeof(guard->message));
    guard->code = code;
    guard->faulted = 1;
    tGuard = guard;
    *info->ContextRecord = guard->resume;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallHandler() {
    static const PVOID handler = ::AddVectoredExceptionHandler(1, TranslateFault);
    (void)handler;
}

}  // namespace

__attribute__((noinline)) void RunTranslated(void (*fn)(void*), void* context) {
    InstallHandler();
    Prepare();
    Guard guard;
    guard.previous = tGuard;
    guard.faulted = 0;
    guard.code = 0;
    guard.message[0] = '\0';
    Guard* volatile self = &guard;
    ::RtlCaptureContext(&guard.resume);
    // Reached twice when the step faults: the second time with `faulted` set.
    if (self->faulted) {
        // The overflow used up the stack's guard page: without a new one the next overflow
        // would find no room for its report.
        if (self->code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
        tGuard = self->previous;
        throw StructuredException(self->message);
    }
    tGuard = self;
    try {
        fn(context);
    } catch (...) {
        tGuard = self->previous;
        throw;
    }
    tGuard = self->previous;
}

#endif

}  // namespace Overlay::Common
