// The writer thread's side of the logger: callers hand rows over through the ring, the "Logger"
// thread writes them to the file in batches.
#include "logging/FlushLogger.h"

#include "common/Event.h"
#include "logging/LogFile.h"
#include "logging/RowRing.h"

using namespace Overlay::Logging;

namespace {

// How long a writer that has just written rows looks out for more before it sleeps.
constexpr DWORD kWriterPollMs = 200;
constexpr uint64_t kFillCheckRows = 16;
// How long, in 1 ms steps, a stop waits for rows that callers are still formatting.
constexpr int kCallerWaits = 20;

}  // namespace

void FlushLogger::Publish(RowSlot* slot, uint64_t position) {
    ring_->Publish(slot, position);
    // A writer that polls finds the row by itself unless the ring is filling up (looked at every
    // kFillCheckRows rows: the writer's position is on a line that it keeps writing); one asleep
    // needs a wake-up. Either way only one caller makes the system call.
    const int32_t state = ring_->WriterState();
    if (state == kWriterAwake) return;
    if (state == kWriterPolling &&
        (position % kFillCheckRows != 0 || ring_->Used(position) < static_cast<int64_t>(kRingSlots / 2))) {
        return;
    }
    if (ring_->TakeWakeUp()) wakeUp_->Signal();
}

size_t FlushLogger::DrainRing(OutputFile* file, bool waitForCallers) {
    // Only up to the rows claimed by now: callers that keep logging cannot hold the writer here.
    const uint64_t end = ring_->Claimed();
    size_t written = 0;
    int waits = 0;
    while (ring_->Taken() < end) {
        RowSlot* slot = ring_->Next();
        if (!slot) {
            // A caller that claimed a slot publishes it within microseconds, unless it was suspended.
            if (!waitForCallers || ++waits > kCallerWaits) break;
            ::Sleep(1);
            continue;
        }
        file->Write(slot->text, slot->length);
        ring_->Release(slot);
        ++written;
    }
    return written;
}

void FlushLogger::WriteQueuedLines() {
    struct Done {
        HANDLE event;
        ~Done() { ::SetEvent(event); }
    } done{writerDone_.Get()};
    OutputFile* file = file_.load();
    if (!file || !wakeUp_) return;
    for (;;) {
        const size_t written = DrainRing(file, false);
        if (written) file->Flush();
        if (stopping_) break;
        // Announce the wait, then look once more: a caller that published before the announcement
        // is seen here, one that published after it sees the announcement.
        const int32_t state = written ? kWriterPolling : kWriterSleeping;
        ring_->SetWriterState(state);
        if (ring_->Next() || stopping_) {
            ring_->SetWriterState(kWriterAwake);
            continue;
        }
        wakeUp_->Wait(state == kWriterPolling ? kWriterPollMs : INFINITE);
        ring_->SetWriterState(kWriterAwake);
    }
    DrainRing(file, true);
    file->Flush();
}

void FlushLogger::Flush() {
    if (!IsRunning()) return;
    if (wakeUp_) wakeUp_->Signal();
}
