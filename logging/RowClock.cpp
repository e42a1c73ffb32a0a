#include "logging/RowClock.h"

#include <windows.h>

#include <cstring>

namespace Overlay::Logging {

void RowClock::Read(Reading* r) {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    r->second = static_cast<int64_t>(t / 10000000ULL);
    r->milliseconds = static_cast<uint32_t>((t / 10000ULL) % 1000ULL);

    const uint32_t seq = sequence_.load(std::memory_order_acquire);
    if ((seq & 1) == 0 && second_.load(std::memory_order_relaxed) == r->second) {
        const uint64_t a = text_[0].load(std::memory_order_relaxed);
        const uint64_t b = text_[1].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) == seq) {
            std::memcpy(r->text, &a, sizeof(a));
            std::memcpy(r->text + 4, &b, sizeof(b));
            return;
        }
    }
    FILETIME local;
    SYSTEMTIME st{};
    ::FileTimeToLocalFileTime(&ft, &local);
    ::FileTimeToSystemTime(&local, &st);
    const unsigned parts[3] = {st.wHour, st.wMinute, st.wSecond};
    for (int i = 0; i < 3; ++i) {
        r->text[i * 3] = static_cast<wchar_t>(L'0' + parts[i] / 10 % 10);
        r->text[i * 3 + 1] = static_cast<wchar_t>(L'0' + parts[i] % 10);
        if (i < 2) r->text[i * 3 + 2] = L':';
    }
    uint32_t expected = seq;
    if ((seq & 1) == 0 && sequence_.compare_exchange_strong(expected, seq + 1, std::memory_order_acquire)) {
        uint64_t a = 0;
        uint64_t b = 0;
        std::memcpy(&a, r->text, sizeof(a));
        std::memcpy(&b, r->text + 4, sizeof(b));
        text_[0].store(a, std::memory_order_relaxed);
        text_[1].store(b, std::memory_order_relaxed);
        second_.store(r->second, std::memory_order_relaxed);
        sequence_.store(seq + 2, std::memory_order_release);
    }
}

}  // namespace Overlay::Logging
