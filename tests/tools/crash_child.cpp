// Faults on purpose, for the crash-report tests.
//
//   crash-child.exe <kind> <where>
//     kind:  write (null write), read (read of address 0), divide (integer division by zero),
//            unknown (an exception code outside the name table), breakpoint, overflow (of the stack),
//            throw (a C++ exception nobody catches)
//     where: queue   - in a ThreadQueue's guarded step (a discarded task's destructor)
//            direct  - in RunTranslated, catching what comes out
//            pair    - in RunTranslated on two threads at once
//            outside - on a plain thread: the process must die of it
//            logged  - on a thread of its own, with the host's log running and the fatal end
//                      installed: the process dies of it with the fault's code, after the report
//                      and the last words (a row naming the fault, then the log's footer)
//            report  - inside the report writer itself (a fault handed over with a broken context)
//
// Prints "thread-exit=<code>" (queue), "type=<name>" and "what=<message>" (direct).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <stdexcept>
#include <thread>

#include "common/Event.h"
#include "common/ThreadQueue.h"
#include "crash/CrashHandlerReport.h"
#include "crash/FatalEnd.h"
#include "common/GuardedStep.h"
#include "logging/Log.h"

namespace {

const wchar_t* gKind = L"write";

#if defined(_MSC_VER)
#define QM_NOINLINE __declspec(noinline)
#else
#define QM_NOINLINE __attribute__((noinline))
#endif

// Kept out of line so that the fault happens in a frame of its own.
// Deep enough for any stack: the depth is only known at run time, so the compiler sees an end.
QM_NOINLINE int Recurse(int depth, int limit) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return depth < limit ? Recurse(depth + 1, limit) + frame[0] : frame[0];
}

QM_NOINLINE int Fault() {
    static volatile int zero = 0;
    static volatile int sink = 0;
    if (std::wcscmp(gKind, L"write") == 0) *static_cast<volatile int*>(nullptr) = 1;
    if (std::wcscmp(gKind, L"read") == 0) sink = *static_cast<volatile int*>(nullptr);
    if (std::wcscmp(gKind, L"divide") == 0) sink = 10 / zero;
    if (std::wcscmp(gKind, L"unknown") == 0) ::RaiseException(0xE0001234, 0, 0, nullptr);
    if (std::wcscmp(gKind, L"breakpoint") == 0) ::DebugBreak();
    if (std::wcscmp(gKind, L"overflow") == 0) sink = Recurse(0, 1 << 30 | static_cast<int>(::GetTickCount() & 1));
    if (std::wcscmp(gKind, L"throw") == 0) throw std::runtime_error("nobody catches this");
    return sink;
}

struct FaultOnDestruction {
    ~FaultOnDestruction() { Fault(); }
};

LONG WINAPI DieOfIt(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    gKind = argv[1];
    const std::wstring where = argv[2];
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CrashHandlerReport::Install();

    if (where == L"queue") {
        Common::Utils::ThreadQueue queue;
        if (!queue.Start("Logger")) return 3;
        HANDLE thread = ::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, queue.ThreadId());
        base::Event gate;
        gate.Create();
        queue.Post([&gate] { gate.Wait(10000); });
        queue.Post([&queue] { queue.Stop(); });
        // Left in the queue when the loop ends: discarded in a guarded step, where it faults.
        auto bomb = std::make_shared<FaultOnDestruction>();
        queue.Post([bomb] {});
        bomb.reset();
        gate.Signal();
        // Writing a minidump under Wine takes most of a minute on a loaded machine; the parent ends
        // this process after three.
        if (!thread || ::WaitForSingleObject(thread, 150000) != WAIT_OBJECT_0) return 4;
        DWORD code = 0;
        ::GetExitCodeThread(thread, &code);
        std::printf("thread-exit=%d\n", static_cast<int>(code));
        return 0;
    }
    if (where == L"direct") {
        std::thread([] {
            try {
                Overlay::Common::RunTranslated([](void*) { Fault(); }, nullptr);
                std::printf("no-exception\n");
            } catch (const Overlay::Common::OverlayException& e) {
                std::printf("type=%ls\nwhat=%s\n", e.GetTypeName().c_str(), e.what());
            }
        }).join();
        // The thread's state is whole again: a second fault is reported as well.
        return 0;
    }
    if (where == L"pair") {
        // Two threads fault at the same moment; each must get a whole report of its own.
        base::Event go;
        go.Create();
        auto body = [&go] {
            go.Wait(10000);
            try {
                Overlay::Common::RunTranslated([](void*) { Fault(); }, nullptr);
            } catch (const Overlay::Common::OverlayException& e) {
                std::printf("what=%s\n", e.what());
            }
        };
        std::thread a(body), b(body);
        ::Sleep(100);
        ::SetEvent(go.CancelHandle());  // releases both waiters at once
        a.join();
        b.join();
        return 0;
    }
    if (where == L"logged") {
        gLogger.Start(L"_crash");
        FatalEnd::Install([](uint32_t code, const char* summary, const char* module) {
            QM_LOG_ERROR(L"crash-child", L"last words: 0x%x %S in %S", code, summary, module);
            gLogger.WriteOutAtCrash(1000);
        });
        for (int i = 0; i < 50; ++i) QM_LOG_INFO(L"crash-child", 1, L"row %d before the fault", i);
        std::thread([] { Fault(); }).join();
        std::printf("survived\n");
        return 0;
    }
    if (where == L"report") {
        EXCEPTION_RECORD record{};
        record.ExceptionCode = 0xC0000094;
        EXCEPTION_POINTERS broken{&record, reinterpret_cast<CONTEXT*>(16)};
        char preview[256];
        CrashHandlerReport::ReportFault(record.ExceptionCode, &broken, preview, sizeof(preview));
        std::printf("survived\n");
        return 0;
    }
    if (where == L"outside") {
        ::SetUnhandledExceptionFilter(&DieOfIt);
        std::thread([] { Fault(); }).join();
        std::printf("survived\n");
        return 0;
    }
    return 2;
}
