#include "common/HangWatch.h"

#include <algorithm>

namespace base {

namespace {
// How often the watch looks, and how late a look may come before the time since the previous one
// counts as a pause of the whole process (a machine asleep, a debugger's break) rather than time
// the watched thread spent running.
constexpr DWORD kLookEveryMs = 250;
constexpr uint64_t kPauseAfterMs = 1000;
}  // namespace

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

uint64_t HangWatch::Observe(Look& look, uint64_t now, uint64_t since, uint32_t entry) {
    const uint64_t gap = now - look.at;
    look.at = now;
    if (since == 0) {
        look.watching = false;
        return 0;
    }
    // Only the time the watch itself saw pass counts: a look that comes far later than planned
    // means the whole process stood still, and the count starts again from here.
    if (!look.watching || entry != look.entry) {
        look.watching = true;
        look.entry = entry;
        look.counted = gap <= kPauseAfterMs && now >= since ? std::min(now - since, gap) : 0;
    } else if (gap <= kPauseAfterMs) {
        look.counted += gap;
    } else {
        look.counted = 0;
    }
    return look.counted;
}

DWORD WINAPI HangWatch::Main(void* context) {
    auto* self = static_cast<HangWatch*>(context);
    uint32_t reported = 0;
    bool anyReported = false;
    Look look;
    look.at = ::GetTickCount64();
    while (::WaitForSingleObject(self->stop_.Get(), kLookEveryMs) == WAIT_TIMEOUT) {
        const uint64_t since = self->since_.load(std::memory_order_acquire);
        const uint32_t entry = self->entries_.load(std::memory_order_relaxed);
        const uint32_t limit = self->limit_.load(std::memory_order_relaxed);
        const uint64_t counted = Observe(look, ::GetTickCount64(), since, entry);
        if (counted <= limit || (anyReported && entry == reported)) continue;
        reported = entry;
        anyReported = true;
        if (self->reaction_) self->reaction_(self->context_, self->what_.load(std::memory_order_relaxed), limit);
    }
    return 0;
}

}  // namespace base
