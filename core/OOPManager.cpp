#include "core/OOPManager.h"

#include "common/RegistrySettings.h"
#include "core/CommandLineArgs.h"
#include "core/HostState.h"
#include "crash/FatalEnd.h"
#include "logging/Log.h"

namespace Registry = Overlay::Common::Registry;

namespace {
void SetDpiAwareness() {
    using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int);
    HMODULE shcore = ::GetModuleHandleW(L"Shcore.dll");
    auto set = shcore ? reinterpret_cast<SetProcessDpiAwarenessFn>(
                            reinterpret_cast<void*>(::GetProcAddress(shcore, "SetProcessDpiAwareness")))
                      : nullptr;
    if (!set || set(2) != S_OK) QM_LOG_ERROR(L"OOPManager::Init", L"SetProcessDpiAwareness Fail");
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


bool OOPManager::WaitForNextPass(int64_t now) {
    // Between frames the game is followed at once: from the system's reports where it delivers the
    // game window's location changes, else by a look every millisecond while it is being moved (a
    // drag is a run of moves) and every few milliseconds while it is still, so following never
    // waits for a frame and an idle game costs little.
    constexpr int64_t kMovingForUs = 500000;
    int64_t due = pacer_.NextPassDue();
    DWORD pollMs = INFINITE;
    const bool follow = gameWindowSeen_ && windowManager_.GetCachedGameWindow();
    if (follow && gameEvents_.Delivered(GameWindowEvents::kLocation)) {
        if (gameEvents_.Pending(GameWindowEvents::kLocation)) due = now;
    } else if (follow) {
        pollMs = now - lastGameMoveUs_ < kMovingForUs ? kFollowPollMs : kStillPollMs;
    }
    const HANDLE handles[] = {stopEvent_.Get(), clientProcess_.Get()};
    const DWORD count = clientProcess_ ? 2 : stopEvent_ ? 1 : 0;
    const int woken = waiter_.Wait(due, pollMs, handles, count);
    if (woken == 1) {
        DWORD exitCode = 0xFFFFFFFF;
        if (!::GetExitCodeProcess(clientProcess_.Get(), &exitCode)) exitCode = 0xFFFFFFFF;
        clientProcess_.Reset();
        ProcessClosed(nullptr, clientPid_, exitCode);
        return true;
    }
    if (follow && FollowGameNow()) lastGameMoveUs_ = base::NowMicroseconds();
    return woken != base::MessageWaiter::kTimeOut;
}

bool OOPManager::FollowGameNow() {
    HWND game = windowManager_.GetCachedGameWindow();
    if (!game || !gameWindowSeen_) return false;
    if (gameEvents_.Delivered(GameWindowEvents::kLocation)) {
        if (!gameEvents_.Take(GameWindowEvents::kLocation)) return false;
    } else {
        // The window's outer rectangle is one cheap read and changes with every move, resize,
        // minimise and restore; what changes inside it alone is seen by a later pass.
        RECT window{};
        if (!::GetWindowRect(game, &window)) return false;
        gameRectReadUs_ = base::NowMicroseconds();
        if (::EqualRect(&window, &lastGameWindowRect_)) return false;
        lastGameWindowRect_ = window;
    }
    lookAgain_ = true;
    Step(false);
    return true;
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

bool OOPManager::ShouldRenderFrame() {
    return pacer_.TargetFrameDue(base::NowMicroseconds());
}

bool OOPManager::Update() {
    if (!ShouldRenderFrame()) return false;
    return Step(true);
}

bool OOPManager::OverlayMatchesGame(const RECT& rect) {
    RECT overlay{};
    if (!::GetWindowRect(overlayWindow_, &overlay)) return true;
    return overlay.left == rect.left && overlay.top == rect.top && overlay.right == rect.right &&
           overlay.bottom == rect.bottom;
}

bool OOPManager::Step(bool render) {
    const int64_t passStartUs = base::NowMicroseconds();
    if (!NothingChanged(passStartUs)) {
        const int placed = LookAndPlace(passStartUs);
        if (placed != kPassOn) return placed != 0;
    } else {
        PostFullScreenCheck();
    }
    const RECT rect = gameRect_;
    const uint32_t width = static_cast<uint32_t>(rect.right - rect.left);
    const uint32_t height = static_cast<uint32_t>(rect.bottom - rect.top);

    const bool sizeChanged = width != backBufferWidth_ || height != backBufferHeight_;
    if (previousSizeChanged_ && !sizeChanged) PostFullScreenCheck(true);
    previousSizeChanged_ = sizeChanged;
    if (minimized_ || !gameShown_ || !render) return false;

    bool reset = sizeChanged;
    if (needsReset_) {
        // Once per run of failed resets: they are retried every pass.
        if (!needsResetLogged_) {
            QM_LOG_INFO(L"OOPManager::Update", 1, L"needs reset, try to reset device [%d, %d]", backBufferWidth_,
                        backBufferHeight_);
            needsResetLogged_ = true;
        }
        reset = true;
    }
    if (!reset) {
        if (!framePollingOff_) {
            framePollingOff_ = GetGameConfiguration()->Byte(qm::GameConfiguration::kFramePollingOff) != 0;
        }
        const bool framePollingOff = *framePollingOff_;
        qm::IOverlayManagerController* controller = hooksManager_.Controller();
        if (!resetDone_ && !framePollingOff && controller && !controller->IsFrameReady()) {
            DelayNextPass(1000);
            return true;
        }
        if (!renderer_ || !renderer_->Suspended()) {
            resetDone_ = false;
            if (Render()) {
                const int64_t presented = base::NowMicroseconds();
                statistics_.FramePresented(presented);
                LogStatistics(presented, false);
                return true;
            }
        }
        if (fullScreenRenderingOff_ && windowManager_.IsFullScreen()) {
            DelayNextPass(FrameIntervalMicroseconds());
            return true;
        }
    }
    if (!ResizeDevice(width, height)) {
        // Nothing presented and nothing reset: the next try is a frame away.
        DelayNextPass(FrameIntervalMicroseconds());
        return false;
    }
    needsReset_ = false;
    needsResetLogged_ = false;
    return true;
}

int OOPManager::LookAndPlace(int64_t passStartUs) {
    // While there is no shown game window the loop looks again after this long.
    constexpr int64_t kWaitForGameUs = 500000;
    lookAgain_ = false;
    lastLookUs_ = passStartUs;
    int32_t change = windowManager_.UpdateGameWindowRect(gameRect_, false);
    HWND game = windowManager_.GetGameWindow();
    if (!game) {
        lookAgain_ = true;
        DelayNextPass(kWaitForGameUs);
        return 0;
    }
    gameEvents_.SetWindow(game);
    if (!gameWindowSeen_) {
        if (WaitRestore()) {
            lookAgain_ = true;
            DelayNextPass(kWaitForGameUs);
            return 0;
        }
        change = 6;
    }
    const RECT rect = gameRect_;
    const uint32_t width = static_cast<uint32_t>(rect.right - rect.left);
    const uint32_t height = static_cast<uint32_t>(rect.bottom - rect.top);
    if (VerifyAdapterUpdated(width, height)) {
        lookAgain_ = true;
        return 1;
    }
    const bool stateChanged = UpdateWindowState();
    const bool shownChanged = SyncOverlayShown(game);
    PostFullScreenCheck();

    // A placement that no longer matches the game (the game moved again while it was being read
    // or placed) is redone, once the back buffer has the game's size.
    const bool misplaced = !minimized_ && width == backBufferWidth_ && height == backBufferHeight_ &&
                           ::IsWindowVisible(overlayWindow_) && !OverlayMatchesGame(rect);
    if (change > 0 || stateChanged || shownChanged || misplaced) {
        if (!minimized_) {
            if (MoveOverlay(rect.left, rect.top, static_cast<int>(width), static_cast<int>(height)) && change > 0) {
                statistics_.Placed(base::NowMicroseconds() - passStartUs);
            }
        } else {
            PlaceOverlay(false);
        }
        // The next pass looks again, whether this placement holds.
        lookAgain_ = true;
    } else {
        PlaceOverlay(windowManager_.IsFullScreen() && !minimized_);
    }
    // Until the back buffer has the game's size a pass may still redo the placement.
    if (width != backBufferWidth_ || height != backBufferHeight_) lookAgain_ = true;
    overlayAbove_ = ::GetWindow(overlayWindow_, GW_HWNDPREV);
    overlayBelow_ = ::GetWindow(overlayWindow_, GW_HWNDNEXT);
    return kPassOn;
}

bool OOPManager::NothingChanged(int64_t nowUs) {
    // What the system does not report (a game window shown or hidden, another window of the game
    // chosen, a hung game) is looked at this often.
    constexpr int64_t kLookAnywayUs = 250000;
    // The looks between passes cover the game's rectangle while they run: one that finds it
    // changed places the overlay at once.
    constexpr int64_t kLookedLatelyUs = (kStillPollMs + 1) * 1000;
    using Events = GameWindowEvents;
    if (lookAgain_ || !gameWindowSeen_ || nowUs - lastLookUs_ >= kLookAnywayUs || adapterCheckPending_) return false;
    HWND game = windowManager_.GetCachedGameWindow();
    if (!game) return false;
    // Each input of a placement from the system's reports where it delivers them, else one look.
    if (gameEvents_.Delivered(Events::kLocation)) {
        if (gameEvents_.Take(Events::kLocation)) return false;
    } else if (nowUs - gameRectReadUs_ > kLookedLatelyUs) {
        RECT window{};
        if (!::GetWindowRect(game, &window)) return false;
        if (!::EqualRect(&window, &lastGameWindowRect_)) {
            lastGameWindowRect_ = window;
            return false;
        }
    }
    if (gameEvents_.Delivered(Events::kForeground)) {
        if (gameEvents_.Take(Events::kForeground)) return false;
    } else if (::GetForegroundWindow() != window_.LastForeground()) {
        return false;
    }
    if (gameEvents_.Take(Events::kOrder)) return false;
    // Another window between the overlay and the game or above it, or the game raised: the
    // overlay's neighbours are no longer the ones the last placement left.
    return ::GetWindow(overlayWindow_, GW_HWNDPREV) == overlayAbove_ &&
           ::GetWindow(overlayWindow_, GW_HWNDNEXT) == overlayBelow_;
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

void OOPManager::HandleFullScreenModeChanged() {
    // Run by the window manager's UpdateFullScreenState whenever the state changes.
    lookAgain_ = true;
    const bool fullScreen = windowManager_.IsFullScreen();
    ::ShowWindow(overlayWindow_, fullScreen && fullScreenRenderingOff_ ? SW_HIDE : SW_SHOWNA);
    if (!fullScreen && !FirstFrameRendered()) {
        QM_LOG_INFO(L"OOPManager::HandleFullScreenModeChanged", 1, L"switch to window mode!");
    }
    ::PostMessageW(overlayWindow_, qm::overlay::kMsgBringToForeground, 1, 1);
    ::PostMessageW(overlayWindow_, qm::overlay::kMsgResizeDevice, 1, 1);
    if (OOPHooksManager::IsExclusive()) ::PostMessageW(overlayWindow_, kMsgApplyInputMode, 0, 0);
    if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) controller->OnWindowModeRestored();
}

void OOPManager::HandleExclusiveModeChanged(bool exclusive) {
    QM_LOG_WARNING(L"OOPManager::HandleExclusiveModeChanged", L"HandleExclusiveModeChanged %d", exclusive ? 1 : 0);
    SetClickThrough(!exclusive, false);
    lookAgain_ = true;
    ::PostMessageW(overlayWindow_, qm::overlay::kMsgExclusiveChanged, exclusive ? 1 : 0, 0);
}

void OOPManager::ApplyExclusiveInputMode() {
    if (!OOPHooksManager::IsExclusive()) return;
    QM_LOG_INFO(L"OOPManager::ApplyExclusiveInputMode", 1, L"exclusive mode over a %s game",
                windowManager_.IsFullScreen() ? L"full-screen" : L"windowed");
    ApplyExclusiveStyle(true);
}

void OOPManager::ApplyExclusiveStyle(bool again) {
    // Exclusive mode's rules for the state the game is in now: over a full-screen game the overlay
    // stays click-through and the game's input is blocked; over a window the overlay takes the
    // input itself and the game is free. Either way the player's input reaches one of the two.
    const bool fullScreen = windowManager_.IsFullScreen();
    clickThrough_ = false;
    if (fullScreen) {
        inputProxy_.SetInputBlocking(true);
    } else {
        // Entering, the game was not blocked.
        if (again) inputProxy_.SetInputBlocking(false);
        ForceForeground(overlayWindow_, true);
        if (qm::IOverlayManagerController* controller = hooksManager_.Controller()) controller->OnOverlayActivated();
    }
    // Entering over a full-screen game, the style is the click-through one already.
    window_.ApplyClickThroughStyle(false, fullScreen, again);
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

void OOPManager::RunForceForeground(HWND window, bool flag) { windowManager_.ForceForegroundWindow(window, flag); }

void OOPManager::ForceForeground(HWND window, bool flag) {
    // A hung game would block the foreground calls: they then run on the worker.
    if (::IsHungAppWindow(windowManager_.GetGameWindow()) && worker_ &&
        worker_->Post([this, window, flag] { RunForceForeground(window, flag); })) {
        return;
    }
    RunForceForeground(window, flag);
}

void OOPManager::PostFullScreenCheck(bool now) {
    constexpr uint64_t kCheckIntervalMs = 1000;
    if (!worker_) return;
    const uint64_t tick = ::GetTickCount64();
    if (!now && tick - lastFullScreenCheckTick_.load() < kCheckIntervalMs) return;
    // One check queued at a time: the worker must not fall behind the frames.
    if (fullScreenCheckQueued_.exchange(true)) return;
    lastFullScreenCheckTick_ = tick;
    if (!worker_->Post([this] {
            fullScreenCheckQueued_ = false;
            AssureFullScreenStateUpdated();
        })) {
        fullScreenCheckQueued_ = false;
    }
}

void OOPManager::RequestClickThrough(bool clickThrough) {
    if (OnWindowThread() || windowThreadId_ == 0) {
        SetClickThrough(clickThrough, false);
        return;
    }
    requestedClickThrough_ = clickThrough;
    // Nothing to ask while no request is on its way and the overlay already is as asked.
    if (!clickThroughPosted_.load() && clickThrough == clickThrough_.load()) return;
    if (!clickThroughPosted_.exchange(true) && !::PostMessageW(overlayWindow_, kMsgApplyClickThrough, 0, 0)) {
        clickThroughPosted_ = false;
    }
}

void OOPManager::SelectCursor(int32_t type, HCURSOR cursor) {
    const int index = (type >= 0 && type < kCursorSlots) ? type : 0;
    if (index != cursorIndex_) {
        cursorIndex_ = index;
        cursorChanged_ = true;
    }
    // A kind is captured once per process; later handles for it are ignored.
    if (cursorCaptured_[index] || !cursor) return;
    if (CaptureCursorImage(cursor, &cursorImages_[index])) {
        cursorCaptured_[index] = true;
        cursorChanged_ = true;
    }
}

const CursorImage* OOPManager::CursorToDraw(bool* changed) {
    *changed = cursorChanged_;
    cursorChanged_ = false;
    return CurrentCursorImage();
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

bool OOPManager::ResetD3D(uint32_t width, uint32_t height) { return !renderer_ || renderer_->Resize(width, height); }

bool OOPManager::Render() { return !renderer_ || renderer_->RenderAndPresent(); }

const CursorImage* OOPManager::CurrentCursorImage() const {
    if (cursorIndex_ < 0 || cursorIndex_ >= kCursorSlots || !cursorImages_[cursorIndex_].valid) return nullptr;
    return &cursorImages_[cursorIndex_];
}

void OOPManager::ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t /*exitCode*/) {
    if (pid == clientPid_ || (watchdog && watchdog == watchdog_.get())) {
        QM_LOG_WARNING(L"OOPManager::ProcessClosed", L"Quillmar terminated, stopping oopo");
        RequestStop();
    }
}
