#pragma once
#include <windows.h>

#include <cstddef>

namespace Overlay::Crash {

// "%d/%d/%d %02d:%02d:%02d" of a local file time, through its DOS date and time (even seconds).
void FormatDosTime(const FILETIME& utc, char* out, size_t size);

bool IsAccessViolationWithAddress(const EXCEPTION_RECORD* record);
// "Read from location ... caused an access violation." and its line end.
void AccessViolationLine(const EXCEPTION_RECORD* record, char* out, size_t size);

}  // namespace Overlay::Crash
