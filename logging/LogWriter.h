#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace base {
class AddressWake;
}  // namespace base

namespace Overlay::Logging {

class OutputFile;
class RowRing;
struct RowSlot;

// A caller's row, formatted into its claimed slot, goes to the writer; at most one caller wakes it.
void PublishRow(RowRing& ring, RowSlot* slot, uint64_t position, base::AddressWake& wakeUp);
// Writes the rows published by now into the file's buffer (waiting briefly, when asked, for callers
// still formatting theirs); returns how many.
size_t DrainRing(RowRing& ring, OutputFile& file, bool waitForCallers);
// The "Logger" thread's loop: rows to the file in batches until `stopping`, then what is left.
void WriteRows(RowRing& ring, OutputFile& file, base::AddressWake& wakeUp, const std::atomic<bool>& stopping);

}  // namespace Overlay::Logging
