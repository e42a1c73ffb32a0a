#include "common/MessageWait.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace base {

int64_t NowMicroseconds() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency;
}

UniqueHandle MakePeriodicTimer(LONG periodMs) {
    UniqueHandle timer(::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
    if (!timer) timer.Reset(::CreateWaitableTimerW(nullptr, FALSE, nullptr));
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(periodMs) * 10000;
    if (timer && !::SetWaitableTimer(timer.Get(), &due, periodMs, nullptr, nullptr, FALSE)) timer.Reset();
    return timer;
}

MessageWaiter::MessageWaiter()
    : timer_(::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS)) {}

int MessageWaiter::Wait(int64_t dueUs, DWORD pollMs, const HANDLE* handles, DWORD count) {
    const int64_t start = NowMicroseconds();
    const int64_t left = dueUs - start;
    if (left <= 0 && count == 0) return kTimeOut;
    if (count > kMaxHandles) count = kMaxHandles;
    HANDLE all[kMaxHandles + 1] = {};
    for (DWORD i = 0; i < count; ++i) all[i] = handles[i];
    DWORD n = count;
    DWORD timeoutMs = 0;
    if (left > 0) {
        if (!KeepsTimeByTimeOuts() && ArmTimer(dueUs, left)) {
            all[n++] = timer_.Get();
            // A time-out just short of the timer's time tries the time-outs, so that a loop with
            // no polls also learns whether they keep time; the wait for the rest uses the timer.
            const int64_t probeMs = left / 1000;
            timeoutMs = probeMs >= 1 && (pollMs == INFINITE || probeMs < pollMs) ? static_cast<DWORD>(probeMs) : pollMs;
        } else {
            armedDueUs_ = 0;
            // Rounded up: a wait cut short would only bring the caller back to wait again.
            const int64_t ms = (left + 999) / 1000;
            timeoutMs = pollMs != INFINITE && ms > pollMs ? pollMs : static_cast<DWORD>(ms);
        }
    }
    const DWORD r = ::MsgWaitForMultipleObjectsEx(n, n ? all : nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
    if (n > count && r == WAIT_OBJECT_0 + count) {
        armedDueUs_ = 0;  // spent: a wait for the same time again must set it anew
        return kTimeOut;
    }
    if (r == WAIT_TIMEOUT && timeoutMs > 0 && timeoutMs != INFINITE) {
        const bool late = NowMicroseconds() - start > static_cast<int64_t>(timeoutMs) * 1000 + kLateUs;
        onTime_ = late ? 0 : onTime_ < kTrustAfter ? onTime_ + 1 : onTime_;
    }
    return r == WAIT_OBJECT_0 + n ? kInput : kTimeOut;
}

bool MessageWaiter::ArmTimer(int64_t dueUs, int64_t leftUs) {
    if (!timer_) return false;
    // Left armed when something else ended the last wait: the next wait for the same time uses it.
    if (armedDueUs_ == dueUs) return true;
    // A timer whose time has come may be signalled with no wait having taken it, and Wine keeps
    // that signal through setting the timer again (Windows drops it): it is taken first, or the
    // next wait would end at once.
    if (armedDueUs_ != 0 && armedDueUs_ <= NowMicroseconds()) ::WaitForSingleObject(timer_.Get(), 0);
    LARGE_INTEGER due{};
    due.QuadPart = -leftUs * 10;  // relative, in 100 ns units
    if (!::SetWaitableTimer(timer_.Get(), &due, 0, nullptr, nullptr, FALSE)) return false;
    armedDueUs_ = dueUs;
    return true;
}

bool WaitAnsweringSentMessages(HANDLE handle, DWORD timeoutMs) {
    if (!handle) return true;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const DWORD r = ::MsgWaitForMultipleObjectsEx(1, &handle, left, QS_SENDMESSAGE, 0);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return false;  // time-out or failure
        MSG msg;
        // Peeking delivers the messages sent to this thread; nothing posted is taken.
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace base
