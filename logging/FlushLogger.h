#pragma once

// The process-wide HTML logger. Until it writes files, it is the object that the entry point hands
// to the manager and that the manager flushes on its way out.
class FlushLogger {
public:
    FlushLogger() = default;
    FlushLogger(const FlushLogger&) = delete;
    FlushLogger& operator=(const FlushLogger&) = delete;

    // Wakes the writer and flushes the file.
    void Flush() {}
};

extern FlushLogger gLogger;
