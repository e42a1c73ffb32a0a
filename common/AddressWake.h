#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace base {

// A wake-up through a word of memory (WaitOnAddress): no kernel object to signal, so a caller that
// wakes a sleeping thread makes no system round trip where the system keeps such waits itself (a
// futex under Wine). A waiter names the sequence it saw before it last looked for work; a wake
// that came since ends its wait at once. It may also wake for nothing, and looks again.
class AddressWake {
public:
    uint32_t Sequence() const { return sequence_.load(std::memory_order_acquire); }
    void Signal() {
        sequence_.fetch_add(1, std::memory_order_acq_rel);
        ::WakeByAddressSingle(Address());
    }
    // Until the sequence differs from `seen` or `timeoutMs` passed.
    void Wait(uint32_t seen, DWORD timeoutMs) {
        ::WaitOnAddress(Address(), &seen, sizeof(seen), timeoutMs);
    }

private:
    void* Address() { return reinterpret_cast<void*>(&sequence_); }

    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the word waited on is the atomic itself");
    std::atomic<uint32_t> sequence_{0};
};

}  // namespace base
