#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <xmmintrin.h>

#include "logging/LogLimits.h"

#if defined(_MSC_VER)
// The ring's shared counters are padded to lines of their own on purpose.
#pragma warning(push)
#pragma warning(disable : 4324)
#endif

namespace Overlay::Logging {

// The writer: looking at the ring, waiting at most kWriterPollMs because it wrote rows a moment ago,
// or asleep until a caller wakes it.
inline constexpr int32_t kWriterAwake = 0;
inline constexpr int32_t kWriterPolling = 1;
inline constexpr int32_t kWriterSleeping = 2;

// The hand-over from the logging threads to the writer: a fixed ring of row-sized slots. A caller
// claims the next slot with one compare-exchange, formats its row straight into it and publishes
// it; no caller waits for a lock or for another caller, and a full ring turns the row away. The
// writer (or Stop, once the writer has ended) takes the slots in the order they were claimed.
struct alignas(64) RowSlot {
    std::atomic<uint64_t> sequence;  // position + 1: published; position + kRingSlots: free again
    size_t length;
    wchar_t text[kRowChars];
};

class RowRing {
public:
    RowRing() : slots_(std::make_unique_for_overwrite<RowSlot[]>(kRingSlots)) {
        for (size_t i = 0; i < kRingSlots; ++i) slots_[i].sequence.store(i, std::memory_order_relaxed);
    }

    // Null when the ring is full.
    RowSlot* Claim(uint64_t* position) {
        uint64_t at = head_.load(std::memory_order_relaxed);
        for (;;) {
            RowSlot& slot = slots_[at % kRingSlots];
            const auto lag = static_cast<int64_t>(slot.sequence.load(std::memory_order_acquire) - at);
            if (lag == 0) {
                if (head_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
                    *position = at;
                    Prefetch(slots_[(at + 1) % kRingSlots]);
                    return &slot;
                }
            } else if (lag < 0) {
                return nullptr;
            } else {
                at = head_.load(std::memory_order_relaxed);
            }
        }
    }

    // Sequentially consistent, so that the caller's look at the writer's state that follows cannot
    // be ordered before it (the writer announces its sleep, then looks at the ring).
    void Publish(RowSlot* slot, uint64_t position) { slot->sequence.store(position + 1, std::memory_order_seq_cst); }

    // Rows claimed and not yet taken, as seen by the caller that claimed `position` (the writer may
    // already have taken it).
    int64_t Used(uint64_t position) const {
        return static_cast<int64_t>(position + 1 - tail_.load(std::memory_order_relaxed));
    }
    uint64_t Claimed() const { return head_.load(std::memory_order_acquire); }

    // The consumer's side: one consumer at a time.
    RowSlot* Next() {
        const uint64_t at = tail_.load(std::memory_order_relaxed);
        RowSlot& slot = slots_[at % kRingSlots];
        return slot.sequence.load(std::memory_order_seq_cst) == at + 1 ? &slot : nullptr;
    }
    void Release(RowSlot* slot) {
        const uint64_t at = tail_.load(std::memory_order_relaxed);
        slot->sequence.store(at + kRingSlots, std::memory_order_release);
        tail_.store(at + 1, std::memory_order_relaxed);
    }
    uint64_t Taken() const { return tail_.load(std::memory_order_relaxed); }

    // The writer's state (kWriterAwake, ...), sequentially consistent for the same reason as
    // Publish.
    int32_t WriterState() const { return writerState_.load(); }
    void SetWriterState(int32_t state) { writerState_.store(state); }
    // True for the one caller that finds the writer waiting and is to wake it.
    bool TakeWakeUp() { return writerState_.exchange(kWriterAwake) != kWriterAwake; }

private:
    // The next caller's slot, as far as a typical row reaches: slots lie a page apart, so a row
    // otherwise starts with a walk of the page tables and misses the cache for every line.
    static void Prefetch(const RowSlot& slot) {
        const char* at = reinterpret_cast<const char*>(&slot);
        for (size_t offset = 0; offset < 512; offset += 64) _mm_prefetch(at + offset, _MM_HINT_T0);
    }

    std::unique_ptr<RowSlot[]> slots_;
    alignas(64) std::atomic<uint64_t> head_{0};
    alignas(64) std::atomic<uint64_t> tail_{0};
    // Written by the writer at every wake-up, read by every caller.
    alignas(64) std::atomic<int32_t> writerState_{kWriterAwake};
};

}  // namespace Overlay::Logging

#if defined(_MSC_VER)
#pragma warning(pop)
#endif
