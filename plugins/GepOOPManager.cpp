#include "plugins/GepOOPManager.h"

#include "core/CommandLineArgs.h"
#include "logging/Log.h"

namespace {
constexpr int kGepPluginMissing = -993;
constexpr int kGepPluginFailed = -991;
}  // namespace

#define PLUGIN_ERROR(function, ...) \
    QM_LOG(kSeverityHigh, kLogError, 0xFFFFFF, gLogger.ErrorFlags(), (function), __VA_ARGS__)

GepOOPManager::GepOOPManager(ManagerType type) : OOPManager(type, 60), stopEvent_(std::make_unique<base::Event>()) { stopEvent_->Create(); }

GepOOPManager::~GepOOPManager() {
    gameWatchdog_.reset();
    watchdog_.reset();
}

int GepOOPManager::Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"GepOOPManager::Init";
    if (const int r = InitPluginHost(instance, logger, cmd, kFn)) return r;
    if (!FindPlugin(cmd, kFn)) return kGepPluginMissing;
    if (!plugin_.Load(pluginPath_.c_str(), nullptr, 0)) {
        PLUGIN_ERROR(kFn, L"gep plugin initialization error");
        return kGepPluginFailed;
    }
    const std::wstring game = cmd->GetValue(L"game-process");
    if (!plugin_.StartPluginOOP(game.c_str(), 0)) {
        PLUGIN_ERROR(kFn, L"gep plugin start error [%s]", game.c_str());
        return kGepPluginFailed;
    }
    return kInitOk;
}

bool GepOOPManager::FindPlugin(const CommandLineArgs* cmd, const wchar_t* function) {
    pluginPath_ = cmd->GetValue(L"plugin");
    if (pluginPath_.empty() || ::GetFileAttributesW(pluginPath_.c_str()) == INVALID_FILE_ATTRIBUTES) {
        PLUGIN_ERROR(function, L"file not found: %s", pluginPath_.c_str());
        return false;
    }
    // The file that was found is the one loaded: a plain or relative name is made whole here, since
    // the loader no longer searches the current folder.
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(pluginPath_.c_str(), MAX_PATH, full, nullptr);
    if (n > 0 && n < MAX_PATH) pluginPath_ = full;
    return true;
}

void GepOOPManager::StartGameWatchdog(const wchar_t* function) {
    if (launch_.gamePid == 0 || gameWatchdog_) return;
    gameWatchdog_ = std::make_unique<base::process::ProcessWatchDog>(nullptr);
    base::Event* stop = stopEvent_.get();
    const bool watching = gameWatchdog_->Watch(launch_.gamePid, [stop, function](base::process::ProcessWatchDog*, DWORD, DWORD) {
        QM_LOG_WARNING(function, L"game process exit");
        ::Sleep(1000);
        stop->Signal();
    });
    // Games protected against being opened are the ones plug-in hosts meet most: such a game leaves
    // the client's end alone to stop the host (the client is watched from the start).
    if (!watching) {
        QM_LOG_WARNING(function, L"game process %u cannot be watched (error %u): waiting for the client's end only",
                       launch_.gamePid, static_cast<unsigned>(::GetLastError()));
    }
}

bool GepOOPManager::Update() {
    StartGameWatchdog(L"GepOOPManager::StartGameWatchdog");
    if (WaitAnswering(nullptr, kWaitSliceMs) == WaitResult::kStop) stop_.Request();
    return true;
}

GepOOPManager::WaitResult GepOOPManager::WaitAnswering(HANDLE timer, DWORD limitMs) {
    // Windows that the plug-in made on this thread keep answering: any message ends the wait, and
    // the main loop dispatches it before the next one.
    if (!stopEvent_ || !stopEvent_->IsValid()) return WaitResult::kStop;
    HANDLE handles[3] = {stopEvent_->SignalHandle(), stopEvent_->CancelHandle(), timer};
    const DWORD count = timer ? 3 : 2;
    const DWORD r = ::MsgWaitForMultipleObjectsEx(count, handles, limitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) return WaitResult::kStop;
    if (timer && r == WAIT_OBJECT_0 + 2) return WaitResult::kTimer;
    return WaitResult::kOther;
}

void GepOOPManager::ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t exitCode) {
    OOPManager::ProcessClosed(watchdog, pid, exitCode);
    if (stopEvent_) stopEvent_->Signal();
}
