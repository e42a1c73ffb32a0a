#pragma once
#include <windows.h>

#include <cstddef>
#include <mutex>

namespace Overlay::Crash {

// The report text goes through one buffer for the process; the lock keeps two threads that fail
// at once from writing into each other's report.
class ReportBuffer {
public:
    static constexpr size_t kFlushAt = 7168;

    void Begin(HANDLE file) {
        file_ = file;
        used_ = 0;
    }
    void Append(const char* text, size_t length);
    void Printf(const char* format, ...);
    void Drain();
    const char* Data() const { return data_; }
    size_t Used() const { return used_; }

private:
    HANDLE file_ = nullptr;
    size_t used_ = 0;
    char data_[8192];
};

extern ReportBuffer gReport;

std::mutex& ReportLock();

}  // namespace Overlay::Crash
