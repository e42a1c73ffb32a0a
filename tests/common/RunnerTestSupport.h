#pragma once
#include <windows.h>

#include <atomic>
#include <memory>

#include "common/Event.h"
#include "common/TaskRunner.h"

namespace test {

// Posts a task that keeps the runner's thread busy until `gate` is signalled (or closed), and
// returns once the thread is inside it.
inline bool HoldThread(Common::Utils::TaskRunner& runner, base::Event& gate) {
    auto holding = std::make_shared<std::atomic<bool>>(false);
    if (!runner.Post([holding, &gate] {
            *holding = true;
            gate.Wait(INFINITE);
        })) {
        return false;
    }
    for (int i = 0; i < 500 && !*holding; ++i) ::Sleep(10);
    return *holding;
}

// Waits up to 5 s for the runner's thread to be gone, and for the system thread to have ended too
// (the runner lets go of it a little before it ends).
inline bool WaitForThreadEnd(const Common::Utils::TaskRunner& runner) {
    const DWORD id = runner.ThreadId();
    HANDLE thread = id ? ::OpenThread(SYNCHRONIZE, FALSE, id) : nullptr;
    for (int i = 0; i < 500 && runner.HasThread(); ++i) ::Sleep(10);
    if (thread) {
        ::WaitForSingleObject(thread, 5000);
        ::CloseHandle(thread);
    }
    return !runner.HasThread();
}

}  // namespace test
