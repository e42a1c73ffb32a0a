#include "common/HangWatch.h"

namespace base {

bool HangWatch::Start(Reaction reaction, void* context) {
    if (thread_) return true;
    reaction_ = reaction;
    context_ = context;
    stop_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_) return false;
    thread_.Reset(::CreateThread(nullptr, 0, &HangWatch::Main, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

void HangWatch::Stop() {
    if (!thread_) return;
    ::SetEvent(stop_.Get());
    ::WaitForSingleObject(thread_.Get(), 2000);
    thread_.Reset();
}

void HangWatch::Enter(const wchar_t* what, uint32_t limitMs) {
    what_.store(what, std::memory_order_relaxed);
    limit_.store(limitMs, std::memory_order_relaxed);
    entries_.fetch_add(1, std::memory_order_relaxed);
    since_.store(::GetTickCount64(), std::memory_order_release);
}

DWORD WINAPI HangWatch::Main(void* context) {
    auto* self = static_cast<HangWatch*>(context);
    uint32_t reported = 0;
    bool anyReported = false;
    while (::WaitForSingleObject(self->stop_.Get(), 250) == WAIT_TIMEOUT) {
        const uint64_t since = self->since_.load(std::memory_order_acquire);
        if (since == 0) continue;
        const uint32_t entry = self->entries_.load(std::memory_order_relaxed);
        const uint32_t limit = self->limit_.load(std::memory_order_relaxed);
        if (::GetTickCount64() - since <= limit || (anyReported && entry == reported)) continue;
        reported = entry;
        anyReported = true;
        if (self->reaction_) self->reaction_(self->context_, self->what_.load(std::memory_order_relaxed), limit);
    }
    return 0;
}

}  // namespace base
