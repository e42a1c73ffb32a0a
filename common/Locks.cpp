#include "common/Locks.h"

namespace base {

CriticalSection::CriticalSection() { ::InitializeCriticalSection(&section_); }
CriticalSection::~CriticalSection() { ::DeleteCriticalSection(&section_); }
void CriticalSection::Lock() { ::EnterCriticalSection(&section_); }
void CriticalSection::Unlock() { ::LeaveCriticalSection(&section_); }
bool CriticalSection::TryLock() { return ::TryEnterCriticalSection(&section_) == TRUE; }

// The try first: uncontended, it is a single exchange, where the full acquire costs about twice as
// much (measured under Wine).
void SrwLock::Lock() {
    if (!::TryAcquireSRWLockExclusive(&lock_)) ::AcquireSRWLockExclusive(&lock_);
}
void SrwLock::Unlock() { ::ReleaseSRWLockExclusive(&lock_); }
bool SrwLock::TryLock() { return ::TryAcquireSRWLockExclusive(&lock_) != 0; }

// owner_ is written only by the thread that holds the SRW lock; another thread reading it can only
// see a value that is not its own id, which is all the comparison needs: relaxed order suffices.
bool RecursiveSrwLock::OwnedByCaller(uint32_t self) const { return owner_.load(std::memory_order_relaxed) == self; }

void RecursiveSrwLock::Lock() {
    const uint32_t self = ::GetCurrentThreadId();
    if (OwnedByCaller(self)) {
        ++count_;
        return;
    }
    SrwLock::Lock();
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
}

bool RecursiveSrwLock::TryLock() {
    const uint32_t self = ::GetCurrentThreadId();
    if (OwnedByCaller(self)) {
        ++count_;
        return true;
    }
    if (!SrwLock::TryLock()) return false;
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
    return true;
}

void RecursiveSrwLock::Unlock() {
    const uint32_t self = ::GetCurrentThreadId();
    if (!OwnedByCaller(self)) return;
    if (--count_ <= 0) {
        owner_.store(0, std::memory_order_relaxed);
        count_ = 0;
        SrwLock::Unlock();
    }
}

}  // namespace base
