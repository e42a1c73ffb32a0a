#pragma once
#include <windows.h>

#if defined(QM_LOCKS_IMPORT)
// A library that the host loads takes the lock from the executable's exports.
#define QM_EXPORT __declspec(dllimport)
#elif defined(_MSC_VER) || defined(__MINGW32__)
#define QM_EXPORT __declspec(dllexport)
#else
#define QM_EXPORT
#endif

namespace base {

// Exported from the executable: libraries loaded by the host link against it.
class QM_EXPORT CriticalSection {
public:
    CriticalSection();
    virtual ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock();
    void Unlock();
    bool TryLock();

private:
    CRITICAL_SECTION section_;
};

class SrwLock {
public:
    SrwLock() = default;
    virtual ~SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    void Lock();
    void Unlock();
    bool TryLock();

protected:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Works with either lock type.
template <class LockType>
class ScopedLock {
public:
    explicit ScopedLock(LockType& lock) : lock_(lock), held_(true) { lock_.Lock(); }
    ~ScopedLock() {
        if (held_) lock_.Unlock();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    void Unlock() {
        if (held_) {
            held_ = false;
            lock_.Unlock();
        }
    }

private:
    LockType& lock_;
    bool held_;
};

}  // namespace base
