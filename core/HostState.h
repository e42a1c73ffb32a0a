#pragma once
#include <windows.h>

#include <optional>

#include "common/ProcessWide.h"

class CommandLineArgs;
class OOPManager;

// What the host keeps once per process. Reset is for a process that runs several managers one
// after the other, while none of them runs.
struct HostState : base::ProcessWide<HostState> {
    // Made and parsed by the entry point, and never freed: threads may read it until the process
    // is gone.
    CommandLineArgs* commandLine = nullptr;
    // The manager that the overlay's window procedure serves: the last one made.
    OOPManager* currentManager = nullptr;

    // Window tracking, touched by the overlay's window thread only.
    bool dwmFrameExtended = false;
    bool gameWindowSeen = false;
    HWND lastForeground = nullptr;
    bool gameWasForeground = false;
    bool previousSizeChanged = false;
    // The configuration's "no frame polling" byte, read at the first frame that asks.
    std::optional<bool> framePollingOff;
};
