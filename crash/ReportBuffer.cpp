#include "crash/ReportBuffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Overlay::Crash {

ReportBuffer gReport;

std::mutex& ReportLock() {
    static std::mutex lock;
    return lock;
}

void ReportBuffer::Append(const char* text, size_t length) {
    if (used_ > kFlushAt) Drain();
    while (length > 0) {
        const size_t room = sizeof(data_) - used_;
        const size_t n = length < room ? length : room;
        std::memcpy(data_ + used_, text, n);
        used_ += n;
        text += n;
        length -= n;
        if (length > 0) Drain();
    }
}

void ReportBuffer::Printf(const char* format, ...) {
    char piece[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(piece, sizeof(piece), format, args);
    va_end(args);
    if (n > 0) Append(piece, static_cast<size_t>(n) < sizeof(piece) ? static_cast<size_t>(n) : sizeof(piece) - 1);
}

void ReportBuffer::Drain() {
    if (file_ && used_ > 0) {
        DWORD written = 0;
        ::WriteFile(file_, data_, static_cast<DWORD>(used_), &written, nullptr);
    }
    used_ = 0;
}

}  // namespace Overlay::Crash
