#pragma once
#include <windows.h>

#include <atomic>

namespace base {

// Owns one kernel handle; a reset closes it and leaves null behind. INVALID_HANDLE_VALUE counts as
// no handle, so the results of CreateFile and CreateToolhelp32Snapshot can be stored as they come.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : handle_(Normalize(h)) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    void Reset(HANDLE h = nullptr) {
        HANDLE old = handle_;
        handle_ = Normalize(h);
        if (old) ::CloseHandle(old);
    }
    HANDLE Release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }

private:
    static HANDLE Normalize(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }
    HANDLE handle_ = nullptr;
};

// Owns one kernel handle that several threads may read, replace or take: each step is one atomic
// exchange, so a handle is closed exactly once whichever thread gets to it first.
class AtomicUniqueHandle {
public:
    AtomicUniqueHandle() = default;
    ~AtomicUniqueHandle() { Reset(); }
    AtomicUniqueHandle(const AtomicUniqueHandle&) = delete;
    AtomicUniqueHandle& operator=(const AtomicUniqueHandle&) = delete;

    HANDLE Get() const { return handle_.load(); }
    explicit operator bool() const { return handle_.load() != nullptr; }

    void Reset(HANDLE h = nullptr) { UniqueHandle closing(handle_.exchange(h == INVALID_HANDLE_VALUE ? nullptr : h)); }
    HANDLE Release() { return handle_.exchange(nullptr); }

private:
    std::atomic<HANDLE> handle_{nullptr};
};

}  // namespace base
