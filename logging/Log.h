#pragma once
#include "logging/FlushLogger.h"

// One call shape for every part of the host: the source line is filled in, the function text is
// the caller's "Class::Method".
#define QM_LOG(severity, level, colour, flags, function, ...) \
    gLogger.Log((severity), (level), (colour), (flags), (function), static_cast<uint32_t>(__LINE__), __VA_ARGS__)

// Info rows pass their own output flags (1, or a flag word such as gLogFlagWords.hooksManager).
#define QM_LOG_INFO(function, flags, ...) QM_LOG(kSeverityNormal, kLogInfo, 0xFFFFFF, (flags), (function), __VA_ARGS__)
// Warnings and errors pass the logger's "ERROR" flag word.
#define QM_LOG_WARNING(function, ...) \
    QM_LOG(kSeverityMedium, kLogWarning, 0xFFFFFF, gLogger.ErrorFlags(), (function), __VA_ARGS__)
#define QM_LOG_ERROR(function, ...) \
    QM_LOG(kSeverityHigh, kLogError, 0xFFFFFF, gLogger.ErrorFlags(), (function), __VA_ARGS__)

// Rows logged on this thread while one of these lives are dropped: for a step retried again and
// again, whose every try would repeat the same rows.
class LogMute {
public:
    LogMute();
    ~LogMute();
    LogMute(const LogMute&) = delete;
    LogMute& operator=(const LogMute&) = delete;
    static bool Active();

private:
    unsigned long previous_;
};
