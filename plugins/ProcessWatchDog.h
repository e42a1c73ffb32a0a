#pragma once
#include <cstdint>

namespace base::process {

class ProcessWatchDog {
public:
    // Told when a watched process ends, on the watchdog's thread.
    class Delegate {
    public:
        virtual void ProcessClosed(ProcessWatchDog* watchdog, uint32_t pid, uint32_t exitCode) = 0;

    protected:
        ~Delegate() = default;
    };
};

}  // namespace base::process
