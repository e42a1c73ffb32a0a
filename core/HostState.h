#pragma once
#include <windows.h>

#include "common/ProcessWide.h"

class CommandLineArgs;

// What the host keeps once per process: what the entry point parsed; everything else lives in the
// manager. Reset is for a process that runs several
// managers one after the other, while none of them runs.
struct HostState : base::ProcessWide<HostState> {
    // Made and parsed by the entry point, and never freed: threads may read it until the process
    // is gone.
    CommandLineArgs* commandLine = nullptr;

};
