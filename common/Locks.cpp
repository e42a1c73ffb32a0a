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

}  // namespace base
