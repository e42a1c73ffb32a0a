#pragma once
#include <exception>

#include "crash/OverlayException.h"

#if defined(_MSC_VER)
#include <comdef.h>
#endif

namespace Overlay::Common {

// Installed around the guarded steps of the task runners (thread naming, discarding tasks): while
// one lives on a thread, a structured exception on that thread is handed to the crash-report
// writer and comes back as a StructuredException. Until the writer is linked in, it only swaps
// the terminate handler, so the steps already run in their final frame.
class TranslatorScope {
public:
    TranslatorScope() : previousTerminate_(std::set_terminate(nullptr)) {}
    ~TranslatorScope() { std::set_terminate(previousTerminate_); }
    TranslatorScope(const TranslatorScope&) = delete;
    TranslatorScope& operator=(const TranslatorScope&) = delete;

private:
    std::terminate_handler previousTerminate_;
};

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

// A guarded step: exceptions dropped, and structured exceptions reported on the way.
template <class Step>
void RunGuardedStep(Step&& step) noexcept {
    DropExceptions([&step] {
        TranslatorScope scope;
        step();
    });
}

}  // namespace Overlay::Common
