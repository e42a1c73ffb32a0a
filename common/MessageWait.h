#pragma once
#include <windows.h>

#include <cstdint>

#include "common/UniqueHandle.h"

namespace base {

// Microseconds of the performance counter; the frequency is read once.
int64_t NowMicroseconds();

// The main loop's idle wait: until a due time, a message for this thread or one of the caller's
// handles. The due time is kept by a high-resolution timer where the system has one, set again only
// when the due time changes (each setting is a call into the system, and a loop that also polls
// wakes several times per due time). Where the wait's own millisecond time-outs are seen to end on
// time (judged at run time from those that ran out: until then a wait ends by a time-out just short
// of its due time, and the next waits for the rest), the due time is kept by them instead, rounded
// up to the millisecond, and the timer is not set at all.
class MessageWaiter {
public:
    MessageWaiter();
    MessageWaiter(const MessageWaiter&) = delete;
    MessageWaiter& operator=(const MessageWaiter&) = delete;

    // Until `dueUs` (NowMicroseconds' clock), or at most `pollMs` milliseconds (INFINITE: none);
    // returns at once when input is already waiting. The index of the handle of `handles` (at most
    // kMaxHandles) that ended the wait, kInput, or kTimeOut.
    static constexpr DWORD kMaxHandles = 4;
    static constexpr int kTimeOut = -1;
    static constexpr int kInput = -2;
    int Wait(int64_t dueUs, DWORD pollMs = INFINITE, const HANDLE* handles = nullptr, DWORD count = 0);
    // Whether due times are kept by time-outs now.
    bool KeepsTimeByTimeOuts() const { return onTime_ >= kTrustAfter; }

private:
    // Sets the timer for `dueUs`, `leftUs` from now, unless it is set for that already.
    bool ArmTimer(int64_t dueUs, int64_t leftUs);

    // Time-outs that ran out no more than kLateUs late, in a row, before they are trusted.
    static constexpr int kTrustAfter = 16;
    static constexpr int64_t kLateUs = 2000;

    UniqueHandle timer_;
    int64_t armedDueUs_ = 0;  // what the timer is set for; 0 when it is not
    int onTime_ = 0;
};

// A periodic timer (high resolution where the system has one), first due one period from now; null
// when none can be made.
UniqueHandle MakePeriodicTimer(LONG periodMs);

// Waits for `handle` while answering messages that other threads send to this one, so that a
// thread that is itself waiting on this thread can finish. Posted messages stay queued. True when
// the handle was signalled within `timeoutMs`.
bool WaitAnsweringSentMessages(HANDLE handle, DWORD timeoutMs);

}  // namespace base
