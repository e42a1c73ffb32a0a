#pragma once
#include <windows.h>

namespace Overlay::Crash {

// The thread whose fault is being written up: the faulting one while the report thread writes
// for it, else the calling thread.
DWORD ReportedThreadId();

}  // namespace Overlay::Crash
