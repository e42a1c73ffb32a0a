#include "logging/FlushLogger.h"

#include <atomic>
#include <cwchar>
#include <iterator>

#include "common/AddressWake.h"
#include "common/ProcessUtils.h"
#include "common/RegistrySettings.h"
#include "common/StringUtils.h"
#include "common/ThreadQueue.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "logging/LogConfig.h"
#include "logging/LogFile.h"
#include "logging/LogWriter.h"
#include "logging/RowClock.h"
#include "logging/RowFormat.h"
#include "logging/RowRing.h"

#if defined(_MSC_VER)
// The logger's statics come before every other static object of the program.
#pragma warning(disable : 4073)
#pragma init_seg(lib)
#define QM_INIT_FIRST
#define QM_INIT_SECOND
#else
#define QM_INIT_FIRST __attribute__((init_priority(101)))
#define QM_INIT_SECOND __attribute__((init_priority(102)))
#endif

using namespace Overlay::Logging;

namespace {

constexpr const wchar_t* kLimitNotice = L"---- STOP ADDING LOG LINES DUE TO DEFINE LIMIT ----";
constexpr const wchar_t* kDropNotice = L"---- %d log lines dropped: the writer fell behind ----";
constexpr const wchar_t* kDiskLossNotice = L"---- %d log lines lost: the log file could not be written ----";
// How long Stop lets the writer finish what it holds before ending it by force.
constexpr DWORD kStopWaitMs = 2000;

RowClock gRowClock;

}  // namespace

namespace {
constexpr struct {
    const wchar_t* key;
    LogSeverity bit;
} kSeverityKeys[] = {{L"SEVERITY_LOW", kSeverityLow},
                     {L"SEVERITY_NORMAL", kSeverityNormal},
                     {L"SEVERITY_MEDIUM", kSeverityMedium},
                     {L"SEVERITY_HIGH", kSeverityHigh},
                     {L"SEVERITY_CRITICAL", kSeverityCritical}};

LoggerOptions ProcessLoggerOptions() {
    LoggerOptions options;
    // A run that only reports on the machine must find the log folder as the user left it.
    options.leaveFolderAlone = base::process::CommandLineHasSwitch(L"diagnose");
    return options;
}

std::wstring ResolveFolder(const LoggerOptions& options) {
    if (!options.configuredFolder.empty()) return options.configuredFolder;
    wchar_t shell[FolderHandler::kShellFolderChars];
    FolderHandler::getShellFolder(options.shellFolderValue.c_str(), shell);
    return std::wstring(shell) + L"\\QuillMar\\Log";
}

bool IsFolder(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
}  // namespace

FlushLogger::FlushLogger() : FlushLogger(ProcessLoggerOptions()) {}

FlushLogger::FlushLogger(const LoggerOptions& options) : options_(options) {
    configuredFolder_ = options_.configuredFolder;
    if (!options_.leaveFolderAlone) Construct();
    constructed_ = kConstructedMark;
}

LogFolderState FlushLogger::Inspect(const LoggerOptions& options) {
    LogFolderState state;
    state.folder = ResolveFolder(options);
    state.folderExists = IsFolder(state.folder);
    const std::wstring config = state.folder + L"\\" + kConfigFileName;
    const DWORD a = ::GetFileAttributesW(config.c_str());
    state.configExists = a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (!state.configExists) return state;
    for (const auto& s : kSeverityKeys) {
        wchar_t first = 0;
        if (FindConfigValue(config, s.key, nullptr, 0, &first) && first == L'+') state.severityMask |= s.bit;
    }
    return state;
}

const wchar_t* FlushLogger::SeverityKey(LogSeverity bit) {
    for (const auto& s : kSeverityKeys) {
        if (s.bit == bit) return s.key;
    }
    return nullptr;
}

FlushLogger::~FlushLogger() { Stop(); }

void FlushLogger::Construct() {
    if (!scratch_) scratch_ = std::make_unique_for_overwrite<wchar_t[]>(kScratchChars);
    PrepareFolder();
    SeedConfiguration();
    ReadConfiguration();
}

std::wstring FlushLogger::ExecutablePath() const {
    if (!options_.executablePath.empty()) return options_.executablePath;
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return std::wstring(path, n);
}

void FlushLogger::PrepareFolder() {
    LoggerOptions options = options_;
    options.configuredFolder = configuredFolder_;
    logFolder_ = ResolveFolder(options);
    // Every level in turn; the ones that exist already just fail.
    const size_t first = logFolder_.find(L'\\');
    for (size_t at = first == std::wstring::npos ? std::wstring::npos : logFolder_.find(L'\\', first + 1);
         at != std::wstring::npos; at = logFolder_.find(L'\\', at + 1)) {
        ::CreateDirectoryW(logFolder_.substr(0, at).c_str(), nullptr);
    }
    ::CreateDirectoryW(logFolder_.c_str(), nullptr);
}

// The client's own programs bring their configuration along: it is copied over the log folder's.
void FlushLogger::SeedConfiguration() {
    const std::wstring exe = ExecutablePath();
    wchar_t drive[_MAX_DRIVE] = {}, dir[_MAX_DIR] = {}, name[_MAX_FNAME] = {}, ext[_MAX_EXT] = {};
    if (_wsplitpath_s(exe.c_str(), drive, dir, name, ext) != 0) return;
    const size_t nameLength = wcslen(name);
    const bool seeded = EqualsNoCase(name, nameLength, L"quillmar", 8) ||
                        EqualsNoCase(name, nameLength, L"Quillmar.Overlay.Testers.WPF", 28);
    if (!seeded || logFolder_.empty()) return;

    std::wstring source = std::wstring(drive) + dir + kConfigFileName;
    base::UniqueHandle probe(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe) {
        HMODULE self = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&gLogger), &self);
        wchar_t modulePath[MAX_PATH * 2] = {};
        ::GetModuleFileNameW(self, modulePath, static_cast<DWORD>(std::size(modulePath)));
        std::wstring folder(modulePath);
        const size_t slash = folder.find_last_of(L'\\');
        folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
        source = folder + kConfigFileName;
    }
    probe.Reset();
    const std::wstring target = logFolder_ + L"\\" + kConfigFileName;
    if (::CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        FormatInto(scratch_.get(), kScratchChars, L"[%s]\t\t%s%s\r\n", name, drive, dir);
        AppendLine(target, scratch_.get());
    }
}

void FlushLogger::ReadConfiguration() {
    auto number = [this](const wchar_t* key) {
        wchar_t value[kMaxValueChars] = {};
        if (GetConfigValue(key, value, kMaxValueChars) == 0) return -1;
        const auto n = Overlay::Common::ParseInt32(value, wcslen(value));
        return (n && *n >= 0) ? *n : -1;
    };
    maxLinesPerFile_ = number(L"[MaxLinesPerFile]");
    maxLogFiles_ = number(L"[MaxLogFiles]");
    measurements_ = number(L"[Measurements]");
    criticalFlags_ = GetOutputFlags(L"CRITICAL");
    errorFlags_ = GetOutputFlags(L"ERROR");
    warningFlags_ = GetOutputFlags(L"WARNING");
    for (const auto& s : kSeverityKeys) {
        if (GetConfigValue(s.key, nullptr, 0) == L'+') severityMask_ |= s.bit;
    }
}

wchar_t FlushLogger::GetConfigValue(const wchar_t* key, wchar_t* out, uint32_t outChars) {
    if (out && outChars > 0) out[0] = L'\0';
    if (logFolder_.empty() || !key) return 0;
    return ConfigValue(logFolder_ + L"\\" + kConfigFileName, key, out, outChars);
}

uint32_t FlushLogger::GetOutputFlags(const wchar_t* key) {
    switch (GetConfigValue(key, nullptr, 0)) {
        case L'A':
        case L'a': return 3;
        case L'H':
        case L'h': return 1;
        case L'V':
        case L'v': return 2;
        default: return 0;
    }
}

int FlushLogger::Start(const wchar_t* suffix) {
    if (IsRunning() || options_.leaveFolderAlone) return 0;
    const bool folderWasEmpty = logFolder_.empty();
    // Made once and kept until destruction: a caller may still be on its way through Log when a
    // Stop ends the run.
    if (!ring_) ring_ = std::make_unique<RowRing>();
    if (!wakeUp_) wakeUp_ = std::make_unique<base::AddressWake>();
    if (!writerDone_) writerDone_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // Rows that reached the ring after the last run had stopped belong to no file.
    while (RowSlot* slot = ring_->Next()) ring_->Release(slot);
    ::ResetEvent(writerDone_.Get());
    ring_->SetWriterState(kWriterAwake);
    OpenLogFile(suffix);
    stopping_ = false;
    writer_ = std::make_shared<Common::Utils::ThreadQueue>();
    writer_->Start("Logger");
    writerPosted_ = writer_->Post([this] { WriteQueuedLines(); });
    if (folderWasEmpty) Construct();
    return 1;
}

uint32_t FlushLogger::WriterThreadId() const { return writer_ ? writer_->ThreadId() : 0; }

bool FlushLogger::OpenLogFile(const wchar_t* suffix) {
    const std::wstring exe = ExecutablePath();
    suffix_ = suffix ? suffix : L"";
    const LogFileName name = NameLogFile(exe, suffix_);
    renameToHtmlOnClose_ = name.renameToHtmlOnClose;
    std::unique_ptr<OutputFile> file = CreateLogFile(logFolder_, name, &fileName_, &filePath_);
    if (!file) return false;
    file->CountLossesIn(&diskLoss_);
    WriteHeader(*file, fileName_, scratch_.get(), kScratchChars);
    file_ = file.release();  // Stop takes it back
    return true;
}

void FlushLogger::Log(uint32_t severityMask, int32_t level, uint32_t colour, uint32_t outputFlags,
                      const wchar_t* function, uint32_t line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(severityMask, level, colour, outputFlags, function, line, format, args);
    va_end(args);
}

void FlushLogger::LogV(uint32_t severityMask, int32_t level, uint32_t colour, uint32_t outputFlags,
                       const wchar_t* function, uint32_t line, const wchar_t* format, va_list args) {
    if ((severityMask & severityMask_) == 0 || !IsRunning()) return;
    if ((outputFlags & 1) == 0 || LogMute::Active()) return;
    if (const int32_t limit = maxLinesPerFile_.load(std::memory_order_relaxed); limit != -1 && LinesWritten() >= limit) {
        if (LinesWritten() == limit) {
            maxLinesPerFile_ = -1;
            Log(kSeverityAll, kLogInfo, 0xFFFFFF, 0xFFFFFFFF, L"", static_cast<uint32_t>(-1), L"%s", kLimitNotice);
            maxLinesPerFile_ = 0;
        }
        return;
    }

    RowClock::Reading now;
    gRowClock.Read(&now);
    if (level < kLogDebug || level > kLogCritical) level = kLogInfo;

    // The first row with room after a loss says how many went before it.
    uint64_t position = 0;
    RowSlot* slot = nullptr;
    const bool lossToSay = droppedPending_.load(std::memory_order_relaxed) != 0 ||
                           diskLoss_.pending.load(std::memory_order_relaxed) != 0;
    if (!lossToSay || ReportDrops()) slot = ring_->Claim(&position);
    if (!slot) {
        ++droppedPending_;
        ++droppedTotal_;
        return;
    }
    slot->length = FormatRow(slot->text, now, level, colour, function, line, format, args);
    Publish(slot, position);
}

int32_t FlushLogger::LinesWritten() const {
    // Every claimed slot holds an accepted row, but for the drop reports: no counter of its own for
    // callers to contend on.
    return ring_ ? static_cast<int32_t>(ring_->Claimed() - reportRows_.load()) : 0;
}

bool FlushLogger::ReportDrops() {
    return ReportLoss(droppedPending_, kDropNotice) && ReportLoss(diskLoss_.pending, kDiskLossNotice);
}

bool FlushLogger::ReportLoss(std::atomic<int32_t>& pending, const wchar_t* notice) {
    const int32_t lost = pending.exchange(0);
    if (lost == 0) return true;
    RowClock::Reading now;
    gRowClock.Read(&now);
    uint64_t position = 0;
    RowSlot* slot = ring_->Claim(&position);
    if (!slot) {
        pending += lost;
        return false;
    }
    ++reportRows_;
    slot->length = FormatRowF(slot->text, now, kLogInfo, 0xFFFFFF, L"", static_cast<uint32_t>(-1), notice, lost);
    Publish(slot, position);
    return true;
}

void FlushLogger::Publish(RowSlot* slot, uint64_t position) { PublishRow(*ring_, slot, position, *wakeUp_); }

size_t FlushLogger::DrainRing(OutputFile* file, bool waitForCallers) {
    return Overlay::Logging::DrainRing(*ring_, *file, waitForCallers);
}

void FlushLogger::WriteQueuedLines() {
    struct Done {
        HANDLE event;
        ~Done() { ::SetEvent(event); }
    } done{writerDone_.Get()};
    OutputFile* file = file_.load();
    if (!file || !wakeUp_) return;
    WriteRows(*ring_, *file, *wakeUp_, stopping_);
}

void FlushLogger::Flush() {
    if (!IsRunning()) return;
    if (wakeUp_) wakeUp_->Signal();
}

void FlushLogger::Stop() {
    OutputFile* file = file_.load();
    if (!file) {
        // A writer started without a file ends here as well: killed later, at destruction, it
        // could be caught still starting up, holding the loader's or the heap's lock.
        if (writer_ && !writer_->Stop()) writer_->Kill();
        return;
    }
    stopping_ = true;
    if (wakeUp_) wakeUp_->Signal();
    // The writer first writes what the ring holds; only one stuck in a write is ended by force.
    if (writerPosted_ && writer_ && writer_->ThreadId() != ::GetCurrentThreadId()) {
        ::WaitForSingleObject(writerDone_.Get(), kStopWaitMs);
    }
    if (writer_ && !writer_->Stop()) writer_->Kill();
    // Rows published after the writer's last look, and the count of rows that found no room; a
    // count the last flush made known gets its row too.
    DrainRing(file, true);
    if (ReportDrops()) DrainRing(file, false);
    if (file->Flush() && diskLoss_.pending.load() != 0 && ReportDrops()) {
        DrainRing(file, false);
        file->Flush();
    }
    WriteFooter(*file, scratch_.get(), kScratchChars);
    {
        // Closed before a rename.
        const std::unique_ptr<OutputFile> closing(file_.exchange(nullptr));
    }
    if (renameToHtmlOnClose_) ::MoveFileW(filePath_.c_str(), (filePath_ + L".html").c_str());
}

void FlushLogger::WriteOutAtCrash(uint32_t waitMs) {
    OutputFile* file = file_.exchange(nullptr);
    if (!file) return;
    stopping_ = true;
    if (wakeUp_) wakeUp_->Signal();
    const bool onWriter = writer_ && writer_->ThreadId() == ::GetCurrentThreadId();
    // A writer stuck in a write is left to it: two threads must not write the file at once.
    const bool writerDone = !writerPosted_ || onWriter || ::WaitForSingleObject(writerDone_.Get(), waitMs) == WAIT_OBJECT_0;
    // Its buffer and its place in the file are the writer's while it may still write: without the
    // writer's end the file is left as the writer leaves it, whole rows but no footer.
    if (!writerDone) return;
    DrainRing(file, true);
    if (ReportDrops()) DrainRing(file, false);
    WriteFooter(*file, scratch_.get(), kScratchChars);
    if (renameToHtmlOnClose_) ::MoveFileW(filePath_.c_str(), (filePath_ + L".html").c_str());
}

FlushLogger gLogger QM_INIT_FIRST;

namespace {
LogFlagWords ReadFlagWords() {
    LogFlagWords words;
    gLogger.GetOutputFlags(L"FlushLogger");
    gLogger.GetOutputFlags(L"FlushLogger_Fast");
    words.folderHandler = gLogger.GetOutputFlags(L"FolderHandler");
    gLogger.GetOutputFlags(L"FolderHandler_Fast");
    words.hooksManager = gLogger.GetOutputFlags(L"OOPOHooksManager");
    gLogger.GetOutputFlags(L"OOPOHooksManager_Fast");
    words.inputBlockerProxy = gLogger.GetOutputFlags(L"InputBlockerProxy");
    gLogger.GetOutputFlags(L"InputBlockerProxy_Fast");
    return words;
}
}  // namespace

LogFlagWords gLogFlagWords QM_INIT_SECOND = ReadFlagWords();

namespace {
// One thread at a time mutes (the window thread, while it retries): a thread id, not a
// thread-local, keeps the check free of the first-use allocation thread-locals make here.
std::atomic<DWORD> gMutedThread{0};
}  // namespace

LogMute::LogMute() : previous_(gMutedThread.exchange(::GetCurrentThreadId())) {}
LogMute::~LogMute() { gMutedThread = previous_; }
bool LogMute::Active() {
    const DWORD muted = gMutedThread.load(std::memory_order_relaxed);
    return muted != 0 && muted == ::GetCurrentThreadId();
}
