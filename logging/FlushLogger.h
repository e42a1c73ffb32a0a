#pragma once
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "common/UniqueHandle.h"
#include "logging/LogLimits.h"
#include "logging/RowLoss.h"

namespace base {
class AddressWake;
}  // namespace base
namespace Common::Utils {
class ThreadQueue;
}
namespace Overlay::Logging {
class OutputFile;
struct RowSlot;
class RowRing;
}  // namespace Overlay::Logging

// Row levels: the index into the level-name table, which is also the row's CSS class.
enum LogLevel : int32_t {
    kLogDebug = 0,
    kLogNote = 1,
    kLogInfo = 2,
    kLogWarning = 3,
    kLogError = 4,
    kLogCritical = 5,
};

// Severity bits that the configuration enables ("SEVERITY_LOW" ... "SEVERITY_CRITICAL").
enum LogSeverity : uint32_t {
    kSeverityLow = 1,
    kSeverityNormal = 2,
    kSeverityMedium = 4,
    kSeverityHigh = 8,
    kSeverityCritical = 16,
    kSeverityAll = 31,
};

// Where a logger looks for things. Defaults are the real ones; tests point them elsewhere.
struct LoggerOptions {
    std::wstring configuredFolder;     // empty: the user's Local AppData + "\QuillMar\Log"
    std::wstring executablePath;       // empty: this process's executable
    std::wstring shellFolderValue = L"Local AppData";
    // Neither the folder nor the configuration is touched, nothing is read: the logger stays off.
    bool leaveFolderAlone = false;
};

// What a logger would find in its folder, read without creating or adding anything.
struct LogFolderState {
    std::wstring folder;
    bool folderExists = false;
    bool configExists = false;
    uint32_t severityMask = 0;  // LogSeverity bits the configuration enables
};

// The process-wide HTML log. Rows are formatted on the caller's thread straight into a slot of a
// bounded ring and written in batches by the "Logger" thread; "QMLog.cfg" in the log folder says
// what is logged.
class FlushLogger {
public:
    static constexpr size_t kScratchChars = Overlay::Logging::kScratchChars;
    static constexpr size_t kMessageChars = Overlay::Logging::kMessageChars;
    static constexpr size_t kRowChars = Overlay::Logging::kRowChars;
    static constexpr size_t kConfigLineChars = Overlay::Logging::kConfigLineChars;
    static constexpr size_t kMaxKeyChars = Overlay::Logging::kMaxKeyChars;
    static constexpr size_t kMaxValueChars = Overlay::Logging::kMaxValueChars;
    static constexpr size_t kRingSlots = Overlay::Logging::kRingSlots;

    FlushLogger();
    explicit FlushLogger(const LoggerOptions& options);
    virtual ~FlushLogger();
    FlushLogger(const FlushLogger&) = delete;
    FlushLogger& operator=(const FlushLogger&) = delete;

    void Log(uint32_t severityMask, int32_t level, uint32_t colour, uint32_t outputFlags, const wchar_t* function,
             uint32_t line, const wchar_t* format, ...);
    void LogV(uint32_t severityMask, int32_t level, uint32_t colour, uint32_t outputFlags, const wchar_t* function,
              uint32_t line, const wchar_t* format, va_list args);

    // 1 when it ran, 0 when logging was already running (or the folder is to be left alone).
    int Start(const wchar_t* suffix);
    void Stop();
    // Wakes the writer so that what is queued reaches the file now.
    void Flush();
    // From a fault that ends the process: what the ring holds and the footer reach the file,
    // waiting for the writer at most `waitMs`. Nothing is freed and no thread is ended.
    void WriteOutAtCrash(uint32_t waitMs);

    // First character of the key's value (0: missing or empty); `out` gets the whole value when it
    // fits. A missing key is appended to the configuration file.
    wchar_t GetConfigValue(const wchar_t* key, wchar_t* out, uint32_t outChars);
    // 'A' 3, 'H' 1, 'V' 2, anything else 0.
    uint32_t GetOutputFlags(const wchar_t* key);

    // The folder a logger made with `options` uses and what its configuration enables, read only.
    static LogFolderState Inspect(const LoggerOptions& options = {});
    // The configuration key that enables the bit ("SEVERITY_LOW" ... "SEVERITY_CRITICAL").
    static const wchar_t* SeverityKey(LogSeverity bit);

    // False until the constructor has run: static storage starts zeroed.
    bool IsConstructed() const { return constructed_ == kConstructedMark; }
    bool IsRunning() const { return file_.load() != nullptr; }
    uint32_t SeverityMask() const { return severityMask_; }
    int32_t MaxLinesPerFile() const { return maxLinesPerFile_.load(std::memory_order_relaxed); }
    int32_t MaxLogFiles() const { return maxLogFiles_; }
    int32_t Measurements() const { return measurements_; }
    // Rows accepted since the first start.
    int32_t LinesWritten() const;
    uint32_t ErrorFlags() const { return errorFlags_; }
    uint32_t WarningFlags() const { return warningFlags_; }
    uint32_t CriticalFlags() const { return criticalFlags_; }
    // Rows lost since construction: to a full ring, or to a file that could not take them.
    int64_t DroppedRows() const { return droppedTotal_.load() + diskLoss_.total.load(); }
    uint32_t WriterThreadId() const;
    const std::wstring& LogFolder() const { return logFolder_; }
    const std::wstring& FilePath() const { return filePath_; }
    const std::wstring& FileName() const { return fileName_; }
    const std::wstring& Suffix() const { return suffix_; }

private:
    using OutputFile = Overlay::Logging::OutputFile;
    using RowSlot = Overlay::Logging::RowSlot;
    using RowRing = Overlay::Logging::RowRing;

    void Construct();
    void PrepareFolder();
    void SeedConfiguration();
    void ReadConfiguration();
    bool OpenLogFile(const wchar_t* suffix);
    void WriteQueuedLines();
    // Writes the published rows in order; with `waitForCallers`, also those still being formatted.
    size_t DrainRing(OutputFile* file, bool waitForCallers);
    void Publish(RowSlot* slot, uint64_t position);
    // Puts the counts of lost rows in rows of their own; false when there was no room for them.
    bool ReportDrops();
    bool ReportLoss(std::atomic<int32_t>& pending, const wchar_t* notice);
    std::wstring ExecutablePath() const;

    LoggerOptions options_;
    std::wstring configuredFolder_;
    std::wstring logFolder_;
    std::wstring suffix_;
    std::unique_ptr<wchar_t[]> scratch_;
    // What every log call reads, side by side.
    uint32_t severityMask_ = 0;
    std::atomic<int32_t> maxLinesPerFile_{-1};
    std::atomic<OutputFile*> file_{nullptr};
    std::unique_ptr<RowRing> ring_;
    std::unique_ptr<base::AddressWake> wakeUp_;
    std::atomic<int32_t> droppedPending_{0};
    Overlay::Logging::RowLoss diskLoss_;
    int32_t measurements_ = -1;
    int32_t maxLogFiles_ = -1;
    std::wstring filePath_;
    std::wstring fileName_;
    uint32_t warningFlags_ = 0;
    uint32_t errorFlags_ = 0;
    uint32_t criticalFlags_ = 0;
    std::atomic<bool> stopping_{true};
    std::shared_ptr<Common::Utils::ThreadQueue> writer_;
    base::UniqueHandle writerDone_;  // set when the writer has written its last row
    bool writerPosted_ = false;
    std::atomic<int64_t> droppedTotal_{0};
    std::atomic<uint64_t> reportRows_{0};
    bool renameToHtmlOnClose_ = false;
    static constexpr uint32_t kConstructedMark = 0x51AC0106;
    uint32_t constructed_ = 0;
};

// The one logger of the process, constructed before every other static object.
extern FlushLogger gLogger;

// Flag words that other parts of the host pass with their rows, read from the configuration
// right after the logger is constructed.
struct LogFlagWords {
    uint32_t folderHandler = 0;
    uint32_t hooksManager = 0;      // "OOPOHooksManager"
    uint32_t inputBlockerProxy = 0; // "InputBlockerProxy"
};
extern LogFlagWords gLogFlagWords;
