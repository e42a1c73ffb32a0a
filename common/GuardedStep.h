#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <type_traits>

#include "common/OverlayException.h"

#if defined(_MSC_VER)
#include <comdef.h>
#endif

namespace Overlay::Common {

// Who reports the faults of guarded steps: the crash-report writer sets itself when the process
// starts. Without one a fault still ends the step as a StructuredException, unreported.
struct FaultReporter {
    void (*prepare)();  // on a thread before its guarded steps run
    // Writes the report; `preview` gets the summary line, the exception's message.
    void (*report)(uint32_t code, EXCEPTION_POINTERS* pointers, char* preview, size_t size);
};
void SetFaultReporter(const FaultReporter* reporter);

// Errors, breakpoints and misalignments; not C++ exceptions, thread naming or debug output.
bool IsFault(uint32_t code);

// Runs fn(context) with the crash-report writer installed as this thread's structured-exception
// translator: a processor or system fault inside it is reported and comes out of this call as a
// thrown StructuredException. The previous translator is back when it returns or throws.
void RunTranslated(void (*fn)(void*), void* context);

// Whatever the step throws is dropped, distinguished in the order: our own exceptions, a COM
// error, a standard exception, anything else. Nothing escapes to the thread's caller.
template <class Step>
void DropExceptions(Step&& step) noexcept {
    try {
        step();
    } catch (const OverlayException&) {
#if defined(_MSC_VER)
    } catch (const _com_error&) {
#endif
    } catch (const std::exception&) {
    } catch (...) {
    }
}

// A guarded step of a task runner: faults are reported, and nothing escapes.
template <class Step>
void RunGuardedStep(Step&& step) noexcept {
    using StepType = std::remove_reference_t<Step>;
    DropExceptions([&step] {
        RunTranslated([](void* p) { (*static_cast<StepType*>(p))(); }, const_cast<void*>(static_cast<const void*>(&step)));
    });
}

}  // namespace Overlay::Common
