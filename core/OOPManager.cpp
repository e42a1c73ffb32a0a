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

// The logger's file-name suffix is "_" + game process name + "_" + game process id.
void StartLogging(FlushLogger* logger, const CommandLineArgs* cmd) {
    if (!logger || !cmd) return;
    const std::wstring suffix = L"_" + cmd->GetValue(L"game-process") + L"_" + cmd->GetValue(L"game-pid");
    logger->Start(suffix.c_str());
}
}  // namespace

OOPManager::OOPManager(ManagerType type, uint32_t targetFrameRate, bool displayPaced)
    : type_(type), parts_(targetFrameRate, displayPaced) {}

OOPManager::~OOPManager() {
    // The renderer may still hold the window's swap chain; it goes before what it asks of.
    parts_.frames.SetRenderer(nullptr);
    parts_.tracker.Windows().ReleaseHandler();
    parts_.input.Blocker().Reset();
    // Ended normally first: a thread killed while it still starts up may hold a lock for good.
    if (worker_ && !worker_->Stop(false, 1000)) worker_->Kill();
    worker_.reset();
    watchdog_.reset();
}

int OOPManager::InitPluginHost(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd,
                               const wchar_t* function) {
    launch_.instance = instance;
    if (Registry::ReadDword(Registry::kOverlayKey, Registry::kEnableOOPGLog) != 0) StartLogging(logger, cmd);
    if (!ProcessCommandLine(cmd)) {
        QM_LOG_ERROR(function, L"fail to process command line");
        return kInitCommandLine;
    }
    // The plug-in hosts wait in their own ways: the client's end reaches them from a thread.
    if (client_.process) {
        watchdog_ = std::make_unique<base::process::ProcessWatchDog>(this);
        watchdog_->WatchHandle(client_.process.Get(), nullptr);
    }
    return kInitOk;
}

int OOPManager::Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"OOPManager::Init";
    launch_.instance = instance;
    StartLogging(logger, cmd);
    QM_LOG_INFO(kFn, 1, L"initializing oopo manager");
    if (!ProcessCommandLine(cmd)) {
        QM_LOG_ERROR(kFn, L"fail to process command line");
        return kInitCommandLine;
    }
    parts_.tracker.Start(launch_.gamePid, cmd->HasKey(L"uwp"));
    if (!parts_.MakeWindow(instance, GetWindowExStyle(), this)) {
        QM_LOG_ERROR(kFn, L"window initialization failure");
        return kInitWindow;
    }
    // From here on an overlay exists that must not freeze over the game.
    hangWatch_.Start(&OOPManager::OnHang, this);
    SetDpiAwareness();

    QM_LOG_INFO(kFn, 1, L"initialize OOPO HK manager");
    using Config = qm::GameConfiguration;
    OOPHooksManager::Overlay overlay;
    overlay.facts = &parts_.facts;
    overlay.stop = &stop_;
    overlay.rendererKind = type_ == kManagerD3D9    ? Config::kRendererD3D9
                           : type_ == kManagerD3D11 ? Config::kRendererD3D11
                                                    : Config::kRendererOther;
    overlay.gameProcessName = launch_.gameProcessName;
    if (!parts_.session.Init(cmd->GetValue(L"qm-client").c_str(), launch_.clientPid, overlay)) {
        QM_LOG_ERROR(kFn, L"hook manager initialization error");
        return kInitHooks;
    }
    if (!parts_.session.Start(instance)) {
        QM_LOG_ERROR(kFn, L"hook manager initialization error");
        return kInitHooksStart;
    }
    if (GetGameConfiguration()->Byte(Config::kInputBlockerEnabled) != 0) {
        parts_.input.Blocker().Init(launch_.gamePid, launch_.clientPid, cmd->GetValue(L"qm-client"));
    } else {
        QM_LOG_INFO(kFn, 1, L"input proxy is disabled by configuration");
    }
    parts_.tracker.Windows().SetTakesForegroundOnCancel(GetGameConfiguration()->Byte(Config::kForegroundHandling) != 0);
    if (qm::IOverlayManagerController* controller = parts_.session.Controller()) {
        controller->SetGameWindow(parts_.tracker.Windows().GetCachedGameWindow());
    }

    QM_LOG_INFO(kFn, 1, L"initialize d3d");
    if (Registry::ReadSwitch(Registry::kOverlayKey, Registry::kShowBackgroundWindow)) parts_.frames.SetBackgroundColor(0x0F7F0000);
    if (!parts_.frames.Create(parts_.Target())) {
        QM_LOG_ERROR(kFn, L"init D3D error");
        return kInitD3D;
    }
    // The device was made for the game's monitor as it is now, and the client was just told the
    // game's window: of what the start found, only a full-screen change is left to apply (an adapter
    // check now would hold the first passes up for nothing).
    ApplyGameChanges(parts_.tracker.Windows().TakeChanges() & WindowManager::kFullScreenChanged);
    const int simulated = static_cast<int>(Registry::ReadDword(Registry::kOverlayKey, Registry::kSimulateInitError));
    if (simulated != 0) {
        QM_LOG_ERROR(kFn, L"simulate initialization error %d", simulated);
        return simulated;
    }
    // Tests shorten the statistics' minute.
    int64_t periodUs = FrameLoop::kStatisticsPeriodUs;
    wchar_t period[16] = {};
    if (::GetEnvironmentVariableW(L"QM_TEST_STATISTICS_MS", period, 16) > 0 && _wtoi(period) > 0) {
        periodUs = static_cast<int64_t>(_wtoi(period)) * 1000;
    }
    parts_.frames.SetStatistics(type_ == kManagerD3D11, periodUs);
    parts_.facts.fullScreenRenderingOff = GetGameConfiguration()->Byte(Config::kFullScreenRenderingOff) != 0;
    QM_LOG_INFO(kFn, 1, L"full screen rendering: %d", parts_.facts.fullScreenRenderingOff.load() ? 0 : 1);
    return kInitOk;
}

int OOPManager::Run(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    const int r = Init(instance, logger, cmd);
    if (r != kInitOk) {
        BeginExit(r);
        UndoFailedStart();
        return r;
    }
    QM_LOG_INFO(L"OOPManager::Run", 1, L"Starting");
    return RunStarted(logger);
}

bool OOPManager::AttachInProcess(HINSTANCE instance, const InProcessSetup& setup) {
    launch_.instance = instance;
    launch_.gamePid = setup.gamePid;
    parts_.tracker.Start(setup.gamePid, setup.uwp);
    if (setup.worker) {
        worker_ = std::make_unique<Common::Utils::WorkerThread>();
        worker_->Start("worker thread");
        parts_.tracker.SetWorker(worker_.get());
        parts_.foreground.SetWorker(worker_.get());
    }
    if (!parts_.MakeWindow(instance, GetWindowExStyle(), this)) return false;
    parts_.facts.fullScreenRenderingOff = GetGameConfiguration()->Byte(qm::GameConfiguration::kFullScreenRenderingOff) != 0;
    if (setup.fullScreenStateKnown) parts_.tracker.Windows().SetFullScreenStateUpdated(true);
    if (!setup.controller) return true;
    OOPHooksManager::Overlay overlay;
    overlay.facts = &parts_.facts;
    overlay.stop = &stop_;
    parts_.session.UseController(setup.controller, overlay);
    return !setup.hooksThread || parts_.session.Start(instance);
}

int OOPManager::RunStarted(FlushLogger* logger) {
    constexpr const wchar_t* kFn = L"OOPManager::Run";
    // Where the system reports the game's window, the loop waits for its reports.
    parts_.tracker.Events().Start(launch_.gamePid);
    int exitCode = 0;
    MSG msg{};
    base::HangWatch* watch = hangWatch_.Running() ? &hangWatch_ : nullptr;
    // Messages go first, but never more than this many in a row: under a flood of them (a client
    // calling the delegate in a loop) the frames keep their pace.
    constexpr int kMessagesInARow = 16;
    int inARow = 0;
    bool peek = true;
    while (!stop_.Requested()) {
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
        if (now < parts_.frames.Pacer().NextPassDue()) {
            // A wait that only ran out brought no message; one that came since wakes the next wait.
            peek = WaitForNextPass(now);
        } else {
            LookForTheClientsEnd(now, false);
            if (stop_.Requested()) break;
            base::HangWatch::Scope bound(watch, L"the update step", kPassLimitMs);
            Update();
            // The wait before the next pass returns at once for anything queued meanwhile.
            peek = base::NowMicroseconds() >= parts_.frames.Pacer().NextPassDue();
        }
    }
    parts_.tracker.Events().Stop();
    BeginExit(exitCode);
    parts_.frames.LogStatistics(base::NowMicroseconds(), true);
    QM_LOG_INFO(kFn, 1, L"shutting down: %d", exitCode);
    Shutdown();
    QM_LOG_INFO(kFn, 1, L"exit");
    if (logger) logger->Flush();
    return exitCode;
}

void OOPManager::BeginExit(int exitCode) {
    exit_.code = exitCode;
    exit_.begun = true;
    parts_.foreground.Stop();
}

void OOPManager::OnHang(void* context, const wchar_t* what, uint32_t limitMs) {
    auto* self = static_cast<OOPManager*>(context);
    if (self->exit_.begun) {
        QM_LOG_WARNING(L"OOPManager::Shutdown", L"%s did not return in %u ms: the exit goes on", what, limitMs);
        QM_LOG_INFO(L"OOPManager::Run", 1, L"exit");
        FatalEnd::EndProcess(static_cast<uint32_t>(self->exit_.code.load()), "");
    }
    QM_LOG_ERROR(L"OOPManager::Run", L"the window's thread has not come back from %s in %u ms: the host ends", what,
                 limitMs);
    FatalEnd::EndProcess(static_cast<uint32_t>(kExitHung), "");
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
    launch_.gamePid = static_cast<uint32_t>(GetIntValue(*cmd, L"game-pid"));
    if (launch_.gamePid == 0) {
        QM_LOG_ERROR(kFn, L"process id is missing");
        return false;
    }
    launch_.clientPid = static_cast<uint32_t>(GetIntValue(*cmd, L"qm-pid"));
    if (launch_.clientPid == 0) {
        QM_LOG_ERROR(kFn, L"qm process id is missing");
        return false;
    }
    launch_.gameProcessName = cmd->GetValue(L"game-process");

    // The client's end is reported to ProcessClosed: the main loop waits for its process. A client
    // that cannot be watched (gone already, or no such process) counts as ended: the start goes
    // on, and the loop then ends at once, so the host never outlives it. Watching takes
    // SYNCHRONIZE, the exit code the limited query right where it is granted.
    const uint32_t clientPid = launch_.clientPid;
    client_.process.Reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, clientPid));
    if (!client_.process) client_.process.Reset(::OpenProcess(SYNCHRONIZE, FALSE, clientPid));
    if (!client_.process) {
        QM_LOG_WARNING(kFn, L"client process %u cannot be watched (error %u): it counts as ended", clientPid,
                       static_cast<unsigned>(::GetLastError()));
        ProcessClosed(nullptr, clientPid, 0xFFFFFFFF);
    }

    // A worker that cannot get its events stays without a thread; that does not fail the step.
    worker_ = std::make_unique<Common::Utils::WorkerThread>();
    worker_->Start("worker thread");
    parts_.tracker.SetWorker(worker_.get());
    parts_.foreground.SetWorker(worker_.get());
    return true;
}

void OOPManager::Shutdown() {
    // Whatever the client library does at its stop, the overlay is off the game first.
    if (HWND overlay = parts_.window.Handle()) ::ShowWindow(overlay, SW_HIDE);
    UndoFailedStart();
    parts_.frames.Release();
    parts_.window.UnregisterClass();
}

void OOPManager::UndoFailedStart() {
    parts_.input.Release();
    parts_.session.StopHooksThread();
    // Before the controller goes: no queued task may call it afterwards. A task may be waiting on
    // this thread (a window of ours shown or hidden): Stop answers it.
    if (worker_ && !worker_->Stop(false, 2000)) {
        QM_LOG_WARNING(L"OOPManager::StopBackgroundThreads", L"worker thread did not stop in %d ms", 2000);
    }
    if (watchdog_ && !watchdog_->Stop()) {
        QM_LOG_WARNING(L"OOPManager::StopBackgroundThreads", L"client watchdog did not stop in %u ms",
                       static_cast<unsigned>(base::process::ProcessWatchDog::kStopWaitMs));
    }
    parts_.session.ReleaseController(hangWatch_.Running() ? &hangWatch_ : nullptr);
}

void OOPManager::ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t /*exitCode*/) {
    if (pid == launch_.clientPid || (watchdog && watchdog == watchdog_.get())) {
        QM_LOG_WARNING(L"OOPManager::ProcessClosed", L"Quillmar terminated, stopping oopo");
        RequestStop();
    }
}

bool OOPManager::WaitForNextPass(int64_t now) {
    const GameTracker::Between plan = parts_.tracker.PlanWait(now, parts_.frames.Pacer().NextPassDue());
    const HANDLE handles[] = {stop_.Handle(), client_.process.Get()};
    const DWORD count = client_.process ? 2 : stop_.Handle() ? 1 : 0;
    const int woken = waiter_.Wait(plan.dueUs, plan.pollMs, handles, count);
    client_.lookedAtUs = now;
    if (woken == 1) {
        LookForTheClientsEnd(now, true);
        return true;
    }
    // Between frames the overlay follows the game at once, without rendering.
    if (plan.follow && parts_.tracker.MovedSinceLastLook()) Step(false);
    return woken != base::MessageWaiter::kTimeOut;
}

void OOPManager::LookForTheClientsEnd(int64_t now, bool ended) {
    // A loop whose frames are always due (a client slower than the frame rate) never waits, and so
    // never hears of the client's end from the wait: it looks now and then instead.
    constexpr int64_t kLookEveryUs = 100000;
    if (!client_.process) return;
    if (!ended) {
        if (now - client_.lookedAtUs < kLookEveryUs) return;
        client_.lookedAtUs = now;
        if (::WaitForSingleObject(client_.process.Get(), 0) != WAIT_OBJECT_0) return;
    }
    DWORD exitCode = 0xFFFFFFFF;
    if (!::GetExitCodeProcess(client_.process.Get(), &exitCode)) exitCode = 0xFFFFFFFF;
    client_.process.Reset();
    ProcessClosed(nullptr, launch_.clientPid, exitCode);
}

bool OOPManager::Update() {
    const bool minimized = parts_.tracker.Minimized();
    // A display-paced loop is asked often; the check runs at most once a second.
    if (parts_.frames.DisplayPaced() && !minimized) parts_.tracker.PostFullScreenCheck();
    return parts_.frames.Due(minimized) && Step(true);
}

bool OOPManager::Step(bool render) {
    const int64_t passStartUs = base::NowMicroseconds();
    if (parts_.frames.AdapterCheckPending() || !parts_.tracker.NothingChanged(passStartUs, parts_.window)) {
        const int placed = LookAndPlace(passStartUs);
        if (placed != kPassOn) return placed != 0;
    } else {
        parts_.tracker.PostFullScreenCheck();
    }
    const uint32_t width = parts_.tracker.Width();
    const uint32_t height = parts_.tracker.Height();
    if (parts_.frames.SizeSettled(width, height)) parts_.tracker.PostFullScreenCheck(true);
    if (parts_.tracker.Minimized() || !parts_.tracker.Shown() || parts_.tracker.AreaEmpty() || !render) return false;
    return parts_.frames.Frame(width, height, parts_.NextFrame()) != FrameLoop::Outcome::kFailed;
}

int OOPManager::LookAndPlace(int64_t passStartUs) {
    // While there is no shown game window the loop looks again after this long.
    constexpr int64_t kWaitForGameUs = 500000;
    const GameTracker::Look look = parts_.tracker.LookNow(passStartUs);
    if (look.appeared) {
        parts_.Place(true);
        parts_.tracker.CheckFullScreen();
    }
    ApplyGameChanges(parts_.tracker.Windows().TakeChanges());
    if (!look.game) {
        parts_.frames.Pacer().DelayNextPass(base::NowMicroseconds(), kWaitForGameUs);
        return 0;
    }
    const RECT rect = parts_.tracker.Rect();
    const uint32_t width = parts_.tracker.Width();
    const uint32_t height = parts_.tracker.Height();
    if (parts_.frames.AdapterCheckPending()) {
        const RenderTarget target{parts_.window.Handle(), parts_.tracker.Windows().Monitor(), width, height};
        if (parts_.frames.FollowAdapter(target)) {
            parts_.tracker.LookAgain();
            return 1;
        }
    }
    const bool minimizedChanged = parts_.tracker.UpdateMinimized();
    const bool minimized = parts_.tracker.Minimized();
    if (minimizedChanged) {
        parts_.window.Show(!minimized);
        if (!minimized && rect.left != OverlayFacts::kMinimizedLeft &&
            ::SetWindowPos(parts_.window.Handle(), nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                           SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER)) {
            parts_.Place(true);
        }
    }
    const bool shownChanged = parts_.ShowOverGame(parts_.tracker.UpdateShown(look.game));
    parts_.tracker.PostFullScreenCheck();

    // A placement that no longer matches the game (the game moved again while it was being read
    // or placed) is redone, once the back buffer has the game's size.
    const bool misplaced = !minimized && parts_.frames.HasSize(width, height) && parts_.window.Shown() && !parts_.window.Matches(rect);
    if (look.change > 0 || minimizedChanged || shownChanged || misplaced) {
        if (!minimized) {
            if (parts_.window.Move(rect)) {
                parts_.Place(true);
                if (look.change > 0) parts_.frames.Statistics().Placed(base::NowMicroseconds() - passStartUs);
            }
        } else {
            parts_.Place(false);
        }
        // The next pass looks again, whether this placement holds.
        parts_.tracker.LookAgain();
    } else {
        parts_.Place(parts_.tracker.Windows().IsFullScreen() && !minimized);
    }
    // Until the back buffer has the game's size a pass may still redo the placement.
    if (!parts_.tracker.AreaEmpty() && !parts_.frames.HasSize(width, height)) parts_.tracker.LookAgain();
    parts_.window.RememberNeighbours();
    return kPassOn;
}

void OOPManager::ApplyGameChanges(uint32_t changes) {
    qm::IOverlayManagerController* controller = parts_.session.Controller();
    if ((changes & WindowManager::kWindowSearched) && controller) {
        controller->SetGameWindow(parts_.tracker.Windows().FoundWindow());
    }
    if (changes & WindowManager::kMonitorChanged) parts_.frames.CheckAdapterLater();
    if (!(changes & WindowManager::kFullScreenChanged)) return;
    // Shown or hidden, the overlay to the foreground, the back buffer made again and exclusive
    // mode's rules applied again for the new state; the client hears of it.
    parts_.tracker.LookAgain();
    parts_.window.Show(!parts_.facts.RenderingOff());
    const Renderer* renderer = parts_.frames.GetRenderer();
    if (!parts_.facts.fullScreen.load() && !(renderer && renderer->FirstFrameRendered())) {
        QM_LOG_INFO(L"OOPManager::HandleFullScreenModeChanged", 1, L"switch to window mode!");
    }
    parts_.foreground.BringOverlayLater();
    parts_.frames.ResizeAgainLater(parts_.window.Handle());
    parts_.input.FullScreenChanged();
    if (controller) controller->OnWindowModeRestored();
}

LRESULT OOPManager::OnOverlayMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    qm::IOverlayManagerController* controller = parts_.session.Controller();
    int32_t cursorType = 0;
    switch (message) {
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;
        case WM_DESTROY:
        case WM_CLOSE:
            ::PostQuitMessage(0);
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) parts_.frames.Resize(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_SHOWWINDOW:
            if (wParam && parts_.frames.GetRenderer()) parts_.frames.GetRenderer()->WindowShown();
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_ACTIVATE:
            // The overlay never keeps the foreground: it goes straight back.
            if (LOWORD(wParam) != WA_INACTIVE && lParam) ::SetForegroundWindow(reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_NCHITTEST:
            return parts_.facts.clickThrough.load() ? HTTRANSPARENT : HTCLIENT;
        case qm::overlay::kMsgRefreshCursor:
            parts_.session.CursorRequestTaken();
            if (parts_.session.Cursors().Apply(&cursorType)) parts_.input.TellBlockerCursor(cursorType);
            [[fallthrough]];
        case WM_SETCURSOR:
            if (!parts_.facts.clickThrough.load()) {
                if (HCURSOR cursor = ::GetCursor()) ::SetCursor(cursor);
                if (controller) controller->OnOverlayActivated();
            }
            return 1;
        case qm::overlay::kMsgExclusiveChanged:
            parts_.input.ExclusiveNotice(wParam, lParam, controller);
            return 1;
        case qm::overlay::kMsgBringToForeground:
            parts_.foreground.BringOverlayNow();
            return 1;
        case qm::overlay::kMsgResizeDevice:
            parts_.frames.ResizeAgainNow();
            return 1;
        case ForegroundForcer::kMsgForceForeground:
            parts_.foreground.Run();
            return 1;
        case OOPHooksManager::kMsgApplyClickThrough: {
            // Re-read after applying: a request that came meanwhile may have seen the old state.
            bool requested;
            do {
                requested = parts_.session.TakeClickThroughRequest();
                parts_.input.SetClickThrough(requested, false, controller);
            } while (requested != parts_.session.RequestedClickThrough());
            return 1;
        }
        case OOPHooksManager::kMsgApplyExclusive: {
            bool exclusive = false;
            if (parts_.session.TakeExclusiveChange(&exclusive)) {
                parts_.input.ExclusiveChanged(exclusive, controller);
                parts_.tracker.LookAgain();
            } else {
                // On and off again before this thread ran: the mode stays as it was applied.
                parts_.input.ExclusiveUnchanged();
            }
            return 1;
        }
        case InputMode::kMsgApplyInputMode:
            parts_.input.ApplyAfterFullScreenChange(controller);
            return 1;
        case WindowManager::kMsgChanged:
            ApplyGameChanges(parts_.tracker.Windows().TakeChanges());
            return 1;
        default:
            break;
    }
    static_assert(WM_MOUSELAST == 0x20E, "the mouse messages end with the horizontal wheel");
    if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
        // Before the controller exists the window behaves as any other would.
        if (!controller) return ::DefWindowProcW(hwnd, message, wParam, lParam);
        bool exclusive = OOPHooksManager::IsExclusive();
        const bool handled = controller->OnMouseMessage(message, wParam, lParam, &exclusive);
        parts_.input.SetClickThrough(!handled && !exclusive, false, controller);
        return 1;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}
