// The writer thread's side of the logger: callers hand rows over through the ring, the "Logger"
// thread writes them to the file in batches.
#include "logging/LogWriter.h"

#include <windows.h>

#include "common/AddressWake.h"
#include "logging/LogFile.h"
#include "logging/LogLimits.h"
#include "logging/RowRing.h"

namespace Overlay::Logging {

namespace {

// How long a writer that has just written rows looks out for more before it sleeps.
constexpr DWORD kWriterPollMs = 200;
constexpr uint64_t kFillCheckRows = 16;
// How long, in 1 ms steps, a stop waits for rows that callers are still formatting.
constexpr int kCallerWaits = 20;

}  // namespace

void PublishRow(RowRing& ring, RowSlot* slot, uint64_t position, base::AddressWake& wakeUp) {
    ring.Publish(slot, position);
    // A writer that polls finds the row by itself unless the ring is filling up (looked at every
    // kFillCheckRows rows: the writer's position is on a line that it keeps writing); one asleep
    // needs a wake-up. Either way only one caller wakes it, through memory, without a system object.
    const int32_t state = ring.WriterState();
    if (state == kWriterAwake) return;
    if (state == kWriterPolling &&
        (position % kFillCheckRows != 0 || ring.Used(position) < static_cast<int64_t>(kRingSlots / 2))) {
        return;
    }
    if (ring.TakeWakeUp()) wakeUp.Signal();
}

size_t DrainRing(RowRing& ring, OutputFile& file, bool waitForCallers) {
    // Only up to the rows claimed by now: callers that keep logging cannot hold the writer here.
    const uint64_t end = ring.Claimed();
    size_t written = 0;
    int waits = 0;
    while (ring.Taken() < end) {
        RowSlot* slot = ring.Next();
        if (!slot) {
            // A caller that claimed a slot publishes it within microseconds, unless it was suspended.
            if (!waitForCallers || ++waits > kCallerWaits) break;
            ::Sleep(1);
            continue;
        }
        file.WriteRow(slot->text, slot->length);
        ring.Release(slot);
        ++written;
    }
    return written;
}

void WriteRows(RowRing& ring, OutputFile& file, base::AddressWake& wakeUp, const std::atomic<bool>& stopping) {
    for (;;) {
        const size_t written = DrainRing(ring, file, false);
        if (written) file.Flush();
        if (stopping) break;
        // Announce the wait, then look once more: a caller that published before the announcement
        // is seen here, one that published after it sees the announcement, and its wake-up, which
        // changes the sequence read first, ends the wait at once.
        const uint32_t seen = wakeUp.Sequence();
        const int32_t state = written ? kWriterPolling : kWriterSleeping;
        ring.SetWriterState(state);
        if (ring.Next() || stopping) {
            ring.SetWriterState(kWriterAwake);
            continue;
        }
        wakeUp.Wait(seen, state == kWriterPolling ? kWriterPollMs : INFINITE);
        ring.SetWriterState(kWriterAwake);
    }
    DrainRing(ring, file, true);
    file.Flush();
}

}  // namespace Overlay::Logging
