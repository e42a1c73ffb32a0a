#include "core/OOPManager.h"

#include "common/DllHelper.h"
#include "common/RegistrySettings.h"
#include "core/CommandLineArgs.h"
#include "core/HostState.h"
#include "crash/FatalEnd.h"
#include "logging/Log.h"

namespace Registry = Overlay::Common::Registry;

namespace {
void SetDpiAwareness() {
    using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int);
    // Nothing may have loaded it yet (Wine's libraries do not): then it comes from the system
    // folder, and stays for the process's life.
    HMODULE shcore = ::GetModuleHandleW(L"Shcore.dll");
    if (!shcore) shcore = base::dll_helper::LoadSystemLibrary(L"Shcore.dll");
    auto set = shcore ? reinterpret_cast<SetProcessDpiAwarenessFn>(
                            reinterpret_cast<void*>(::GetProcAddress(shcore, "SetProcessDpiAwareness")))
                      : nullptr;
    constexpr int kPerMonitor = 2;
    if (set && set(kPerMonitor) == S_OK) return;
    // Refused because the process is per-monitor aware already (Wine's processes start so): the
    // request's aim is met, and only a real failure is an error.
    using GetProcessDpiAwarenessFn = HRESULT(WINAPI*)(HANDLE, int*);
    auto get = shcore ? reinterpret_cast<GetProcessDpiAwarenessFn>(
                            reinterpret_cast<void*>(::GetProcAddress(shcore, "GetProcessDpiAwareness")))
                      : nullptr;
    int awareness = -1;
    if (set && get && get(nullptr, &awareness) == S_OK && awareness == kPerMonitor) return;
    QM_LOG_ERROR(L"OOPManager::Init", L"SetProcessDpiAwareness Fail");
}
}  // namespace

OOPManager::OOPManager(ManagerType type, uint32_t targetFrameRate) : type_(type) {
    pacer_.SetTargetRate(targetFrameRate);
}

OOPManager::~OOPManager() {
    // The renderer may still hold the window's swap chain; it goes before what it asks of.
    renderer_.reset();
    windowManager_.ReleaseHandler();
    inputProxy_.Reset();
    fullScreenDetector_.reset();
    // Ended normally first: a thread killed while it still starts up may hold a lock for good.
    if (worker_ && !worker_->Stop(false, 1000)) worker_->Kill();
    worker_.reset();
    watchdog_.reset();
}

void OOPManager::StartLogging(FlushLogger* logger, const CommandLineArgs* cmd) {
    if (!logger || !cmd) return;
    const std::wstring suffix = L"_" + cmd->GetValue(L"game-process") + L"_" + cmd->GetValue(L"game-pid");
    logger->Start(suffix.c_str());
}

int OOPManager::InitPluginHost(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd,
                               const wchar_t* function) {
    instance_ = instance;
    if (Registry::ReadDword(Registry::kOverlayKey, Registry::kEnableOOPGLog) != 0) StartLogging(logger, cmd);
    if (!ProcessCommandLine(cmd)) {
        QM_LOG_ERROR(function, L"fail to process command line");
        return kInitCommandLine;
    }
    // The plug-in hosts wait in their own ways: the client's end reaches them from a thread.
    if (clientProcess_) {
        watchdog_ = std::make_unique<base::process::ProcessWatchDog>(this);
        watchdog_->WatchHandle(clientProcess_.Get(), nullptr);
    }
    return kInitOk;
}

int OOPManager::Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"OOPManager::Init";
    instance_ = instance;
    StartLogging(logger, cmd);
    QM_LOG_INFO(kFn, 1, L"initializing oopo manager");
    if (!ProcessCommandLine(cmd)) {
        QM_LOG_ERROR(kFn, L"fail to process command line");
        return kInitCommandLine;
    }
    ChooseGameWindowHandler(cmd);
    if (!InitWindow(instance_)) {
        QM_LOG_ERROR(kFn, L"window initialization failure");
        return kInitWindow;
    }
    // From here on an overlay exists that must not freeze over the game.
    hangWatch_.Start(&OOPManager::OnHang, this);
    SetDpiAwareness();

    QM_LOG_INFO(kFn, 1, L"initialize OOPO HK manager");
    if (!hooksManager_.Init(cmd->GetValue(L"qm-client").c_str(), clientPid_, this)) {
        QM_LOG_ERROR(kFn, L"hook manager initialization error");
        return kInitHooks;
    }
    if (!hooksManager_.Start(instance_)) {
        QM_LOG_ERROR(kFn, L"hook manager initialization error");
        return kInitHooksStart;
    }
    if (GetGameConfiguration()->Byte(qm::GameConfiguration::kInputBlockerEnabled) != 0) {
        inputProxy_.Init(gamePid_, clientPid_, cmd->GetValue(L"qm-client"));
    } else {
        QM_LOG_INFO(kFn, 1, L"input proxy is disabled by configuration");
    }
    if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) controller->SetGameWindow(windowManager_.GetCachedGameWindow());

    QM_LOG_INFO(kFn, 1, L"initialize d3d");
    if (Registry::ReadSwitch(Registry::kOverlayKey, Registry::kShowBackgroundWindow)) backgroundColor_ = 0x0F7F0000;
    if (!InitD3D()) {
        QM_LOG_ERROR(kFn, L"init D3D error");
        return kInitD3D;
    }
    const int simulated = static_cast<int>(Registry::ReadDword(Registry::kOverlayKey, Registry::kSimulateInitError));
    if (simulated != 0) {
        QM_LOG_ERROR(kFn, L"simulate initialization error %d", simulated);
        return simulated;
    }
    statistics_.SetTargetInterval(FrameIntervalMicroseconds());
    // Tests shorten the statistics' minute.
    wchar_t period[16] = {};
    if (::GetEnvironmentVariableW(L"QM_TEST_STATISTICS_MS", period, 16) > 0 && _wtoi(period) > 0) {
        statisticsPeriodUs_ = static_cast<int64_t>(_wtoi(period)) * 1000;
    }
    fullScreenDetector_ = std::make_unique<FullScreenDetector>(instance_);
    fullScreenRenderingOff_ = GetGameConfiguration()->Byte(qm::GameConfiguration::kFullScreenRenderingOff) != 0;
    QM_LOG_INFO(kFn, 1, L"full screen rendering: %d", fullScreenRenderingOff_ ? 0 : 1);
    return kInitOk;
}

int OOPManager::Run(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"OOPManager::Run";
    const int r = Init(instance, logger, cmd);
    if (r != kInitOk) {
        BeginExit(r);
        UndoFailedStart();
        return r;
    }

    QM_LOG_INFO(kFn, 1, L"Starting");
    return RunStarted(logger);
}

bool OOPManager::AttachInProcess(HINSTANCE instance, const InProcessSetup& setup) {
    instance_ = instance;
    gamePid_ = setup.gamePid;
    CommandLineArgs args;
    args.Parse(setup.uwp ? L"host.exe --uwp" : L"host.exe");
    ChooseGameWindowHandler(&args);
    if (setup.worker) {
        worker_ = std::make_unique<Common::Utils::WorkerThread>();
        worker_->Start("worker thread");
    }
    if (!InitWindow(instance_)) return false;
    fullScreenRenderingOff_ = GetGameConfiguration()->Byte(qm::GameConfiguration::kFullScreenRenderingOff) != 0;
    if (setup.fullScreenStateKnown) windowManager_.SetFullScreenStateUpdated(true);
    if (!setup.controller) return true;
    hooksManager_.SetControllerForTesting(setup.controller, this);
    return !setup.hooksThread || hooksManager_.Start(instance_);
}

int OOPManager::RunStarted(FlushLogger* logger) {
    constexpr const wchar_t* kFn = L"OOPManager::Run";
    // Where the system reports the game's window, the loop waits for its reports.
    gameEvents_.Start(gamePid_);
    int exitCode = 0;
    MSG msg{};
    base::HangWatch* watch = hangWatch_.Running() ? &hangWatch_ : nullptr;
    // Messages go first, but never more than this many in a row: under a flood of them (a client
    // calling the delegate in a loop) the frames keep their pace.
    constexpr int kMessagesInARow = 16;
    int inARow = 0;
    bool peek = true;
    while (!stopRequested_) {
        if (peek && inARow < kMessagesInARow && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ++inARow;
            ::TranslateMessage(&msg);
            {
                base::HangWatch::Scope bound(watch, L"a window message", kPassLimitMs);
                ::DispatchMessageW(&msg);
            }
            if (msg.message == WM_QUIT) {
                exitCode = static_cast<int>(msg.wParam);
                break;
            }
            continue;
        }
        inARow = 0;
        peek = true;
        const int64_t now = base::NowMicroseconds();
        if (now < pacer_.NextPassDue()) {
            // A wait that only ran out brought no message; one that came since wakes the next wait.
            peek = WaitForNextPass(now);
        } else {
            LookForTheClientsEnd(now);
            if (stopRequested_) break;
            base::HangWatch::Scope bound(watch, L"the update step", kPassLimitMs);
            Update();
            // The wait before the next pass returns at once for anything queued meanwhile.
            peek = base::NowMicroseconds() >= pacer_.NextPassDue();
        }
    }
    gameEvents_.Stop();
    BeginExit(exitCode);
    LogStatistics(base::NowMicroseconds(), true);
    QM_LOG_INFO(kFn, 1, L"shutting down: %d", exitCode);
    Shutdown();
    QM_LOG_INFO(kFn, 1, L"exit");
    if (logger) logger->Flush();
    return exitCode;
}

void OOPManager::BeginExit(int exitCode) {
    exitCode_ = exitCode;
    exiting_ = true;
}

void OOPManager::OnHang(void* context, const wchar_t* what, uint32_t limitMs) {
    auto* self = static_cast<OOPManager*>(context);
    if (self->exiting_) {
        QM_LOG_WARNING(L"OOPManager::Shutdown", L"%s did not return in %u ms: the exit goes on", what, limitMs);
        QM_LOG_INFO(L"OOPManager::Run", 1, L"exit");
        FatalEnd::EndProcess(static_cast<uint32_t>(self->exitCode_.load()), "");
    }
    QM_LOG_ERROR(L"OOPManager::Run", L"the window's thread has not come back from %s in %u ms: the host ends", what,
                 limitMs);
    FatalEnd::EndProcess(static_cast<uint32_t>(kExitHung), "");
}

void OOPManager::LogStatistics(int64_t nowUs, bool now) {
    if (GetManagerType() != kManagerD3D11 || !(now ? statistics_.Started() : statistics_.Due(nowUs, statisticsPeriodUs_))) {
        return;
    }
    const FrameStatistics::Period p = statistics_.Close(nowUs, gLogger.DroppedRows());
    QM_LOG_INFO(L"OOPManager::Statistics", 1,
                L"stats seconds=%.1f frames=%u fps=%.1f interval_p50_ms=%.1f interval_p99_ms=%.1f late=%u "
                L"placements=%u placement_p99_ms=%.1f hidden_s=%.1f device_recreated=%u log_dropped=%u",
                p.seconds, p.frames, p.fps, p.intervalP50Ms, p.intervalP99Ms, p.late, p.placements, p.placementP99Ms,
                p.hiddenSeconds, p.deviceRecreated, p.logDropped);
}


bool OOPManager::ProcessCommandLine(const CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"OOPManager::ProcessCommandLine";
    using Overlay::Common::GetIntValue;
    if (!cmd) {
        QM_LOG_ERROR(kFn, L"empty command line");
        return false;
    }
    QM_LOG_INFO(kFn, 1, L"Process command line: %s", cmd->JoinedArguments().c_str());
    if (cmd->GetValue(L"qm-client").empty()) {
        QM_LOG_ERROR(kFn, L"qmclient is missing");
        return false;
    }
    gamePid_ = static_cast<uint32_t>(GetIntValue(*cmd, L"game-pid"));
    if (gamePid_ == 0) {
        QM_LOG_ERROR(kFn, L"process id is missing");
        return false;
    }
    clientPid_ = static_cast<uint32_t>(GetIntValue(*cmd, L"qm-pid"));
    if (clientPid_ == 0) {
        QM_LOG_ERROR(kFn, L"qm process id is missing");
        return false;
    }
    gameProcessName_ = cmd->GetValue(L"game-process");

    // The client's end is reported to ProcessClosed: the main loop waits for its process. A client
    // that cannot be watched (gone already, or no such process) counts as ended: the start goes
    // on, and the loop then ends at once, so the host never outlives it. Watching takes
    // SYNCHRONIZE, the exit code the limited query right where it is granted.
    clientProcess_.Reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, clientPid_));
    if (!clientProcess_) clientProcess_.Reset(::OpenProcess(SYNCHRONIZE, FALSE, clientPid_));
    if (!clientProcess_) {
        QM_LOG_WARNING(kFn, L"client process %u cannot be watched (error %u): it counts as ended", clientPid_,
                       static_cast<unsigned>(::GetLastError()));
        ProcessClosed(nullptr, clientPid_, 0xFFFFFFFF);
    }

    // A worker that cannot get its events stays without a thread; that does not fail the step.
    worker_ = std::make_unique<Common::Utils::WorkerThread>();
    worker_->Start("worker thread");
    return true;
}

void OOPManager::Shutdown() {
    // Whatever the client library does at its stop, the overlay is off the game first.
    if (overlayWindow_) ::ShowWindow(overlayWindow_, SW_HIDE);
    UndoFailedStart();
    ShutdownD3D();
    window_.UnregisterClass();
}

void OOPManager::UndoFailedStart() {
    inputProxy_.SetInputBlocking(false);
    inputProxy_.Reset();
    hooksManager_.StopHooksThread();
    // Before the controller goes: no queued task may call it afterwards.
    StopBackgroundThreads();
    hooksManager_.ReleaseController(hangWatch_.Running() ? &hangWatch_ : nullptr);
}

void OOPManager::StopBackgroundThreads() {
    // A task may be waiting on this thread (a window of ours shown or hidden): Stop answers it.
    if (worker_ && !worker_->Stop(false, 2000)) {
        QM_LOG_WARNING(L"OOPManager::StopBackgroundThreads", L"worker thread did not stop in %d ms", 2000);
    }
    if (watchdog_ && !watchdog_->Stop()) {
        QM_LOG_WARNING(L"OOPManager::StopBackgroundThreads", L"client watchdog did not stop in %u ms",
                       static_cast<unsigned>(base::process::ProcessWatchDog::kStopWaitMs));
    }
}

void OOPManager::ChooseGameWindowHandler(const CommandLineArgs* cmd) {
    windowManager_.SetOwner(this);
    if (cmd && cmd->HasKey(L"uwp")) {
        windowManager_.SetHandler(std::make_unique<UWPHandler>(&windowManager_));
    } else {
        windowManager_.SetHandler(std::make_unique<Win32GameWindowHandler>(&windowManager_));
    }
}

uint32_t OOPManager::RendererKind() {
    using Config = qm::GameConfiguration;
    const int type = GetManagerType();
    return type == kManagerD3D9 ? Config::kRendererD3D9 : type == kManagerD3D11 ? Config::kRendererD3D11 : Config::kRendererOther;
}

void OOPManager::GameWindowFound(HWND window) {
    if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) controller->SetGameWindow(window);
}

bool OOPManager::TakesForegroundOnCancel() const {
    return GetGameConfiguration()->Byte(qm::GameConfiguration::kForegroundHandling) != 0;
}

bool OOPManager::AssureFullScreenStateUpdated() {
    HWND game = windowManager_.GetGameWindow();
    POINT cursor{};
    if (!game || ::GetForegroundWindow() != game) return false;
    if (!::GetCursorPos(&cursor) || ::WindowFromPoint(cursor) != game) return false;
    if (gameRect_.left == kMinimizedLeft || ::IsIconic(game)) return false;
    GameWindowHandler* handler = windowManager_.Handler();
    if (!windowManager_.HasOwner() || !handler) return false;
    handler->DetectFullScreen();
    return true;
}

bool OOPManager::GameClientSize(uint32_t* width, uint32_t* height) {
    RECT rect{};
    if (windowManager_.UpdateGameWindowRect(rect, true) == 0) return false;
    *width = static_cast<uint32_t>(rect.right - rect.left);
    *height = static_cast<uint32_t>(rect.bottom - rect.top);
    return true;
}

bool OOPManager::InitD3D() {
    if (!renderer_) return true;
    // Chosen for the game's monitor as it is now: a check queued for that monitor has nothing left
    // to find.
    if (windowManager_.Monitor()) adapterCheckPending_ = false;
    return renderer_->Create();
}

void OOPManager::ShutdownD3D() {
    if (renderer_) renderer_->Release();
}

bool OOPManager::ResetD3D(uint32_t width, uint32_t height, bool again) {
    return !renderer_ || renderer_->Resize(width, height, again);
}

bool OOPManager::Render() { return !renderer_ || renderer_->RenderAndPresent(); }

void OOPManager::ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t /*exitCode*/) {
    if (pid == clientPid_ || (watchdog && watchdog == watchdog_.get())) {
        QM_LOG_WARNING(L"OOPManager::ProcessClosed", L"Quillmar terminated, stopping oopo");
        RequestStop();
    }
}
