#include "crash/ReportThread.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "common/GuardedStep.h"
#include "common/OverlayException.h"
#include "common/UniqueHandle.h"
#include "crash/CrashHandlerReport.h"

namespace {

// The thread whose fault the report thread is writing up (0: none).
std::atomic<DWORD> gSubjectThread{0};

LONG CALLBACK EndOnFaultInReport(EXCEPTION_POINTERS* info);

// Reports are written by a thread of their own, started before any guarded step runs: the
// faulting thread may have next to no stack left (an overflow) and may hold locks that writing
// the report needs; it only hands the fault over and waits, for a bounded time.
class ReportThread {
public:
    static ReportThread& Instance() {
        static ReportThread* const instance = new ReportThread();  // lives as long as the process
        return *instance;
    }

    bool Run(uint32_t code, EXCEPTION_POINTERS* pointers, char* preview, size_t size) {
        // A minidump of a large process can take long; a stuck report thread must not hang the
        // faulting one for ever.
        constexpr DWORD kReportWaitMs = 120000;
        if (!thread_ || ::GetCurrentThreadId() == threadId_) return false;
        if (::WaitForSingleObject(busy_.Get(), kReportWaitMs) != WAIT_OBJECT_0) return false;
        code_ = code;
        pointers_ = pointers;
        preview_.clear();
        gSubjectThread = ::GetCurrentThreadId();
        ::SetEvent(request_.Get());
        if (::WaitForSingleObject(done_.Get(), kReportWaitMs) != WAIT_OBJECT_0) {
            return false;  // `busy_` stays taken: later faults are not written into this report
        }
        if (preview && size > 0) std::snprintf(preview, size, "%s", preview_.c_str());
        ::ReleaseMutex(busy_.Get());
        return true;
    }

    // A fault on the report thread while it writes: the original fault's code, at once.
    void EndIfFaultInReport() {
        if (::GetCurrentThreadId() == threadId_ && gSubjectThread.load() != 0) {
            ::TerminateProcess(::GetCurrentProcess(), code_);
        }
    }

private:
    ReportThread()
        : request_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          done_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          busy_(::CreateMutexW(nullptr, FALSE, nullptr)) {
        if (request_ && done_ && busy_) thread_.Reset(::CreateThread(nullptr, 0, &Main, this, 0, &threadId_));
        if (thread_) ::AddVectoredExceptionHandler(1, &EndOnFaultInReport);
    }

    static DWORD WINAPI Main(void* context) {
        auto* self = static_cast<ReportThread*>(context);
        for (;;) {
            if (::WaitForSingleObject(self->request_.Get(), INFINITE) != WAIT_OBJECT_0) return 1;
            self->preview_ = CrashHandlerReport::Report(self->code_, self->pointers_);
            gSubjectThread = 0;
            ::SetEvent(self->done_.Get());
        }
    }

    base::UniqueHandle request_;
    base::UniqueHandle done_;
    base::UniqueHandle busy_;
    base::UniqueHandle thread_;
    DWORD threadId_ = 0;
    uint32_t code_ = 0;
    EXCEPTION_POINTERS* pointers_ = nullptr;
    std::string preview_;
};

LONG CALLBACK EndOnFaultInReport(EXCEPTION_POINTERS* info) {
    if (info && info->ExceptionRecord && Overlay::Common::IsFault(info->ExceptionRecord->ExceptionCode)) {
        ReportThread::Instance().EndIfFaultInReport();
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

DWORD Overlay::Crash::ReportedThreadId() {
    const DWORD subject = gSubjectThread.load();
    return subject ? subject : ::GetCurrentThreadId();
}

void CrashHandlerReport::Install() {
    static const Overlay::Common::FaultReporter reporter{&CrashHandlerReport::Prepare, &CrashHandlerReport::ReportFault};
    Overlay::Common::SetFaultReporter(&reporter);
}

void CrashHandlerReport::Prepare() {
    ReportThread::Instance();
    // Room for the report hand-over when the step overflows its stack.
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
}

void CrashHandlerReport::ReportFault(uint32_t code, EXCEPTION_POINTERS* pointers, char* preview, size_t size) {
    if (preview && size > 0) preview[0] = '\0';
    ReportThread::Instance().Run(code, pointers, preview, size);
}

void CrashHandlerReport::Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
    char preview[512];
    ReportFault(code, pointers, preview, sizeof(preview));
    throw Overlay::Common::StructuredException(preview);
}
