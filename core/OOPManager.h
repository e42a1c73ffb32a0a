#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/CoalescedPost.h"
#include "common/HangWatch.h"
#include "common/MessageWait.h"
#include "common/UniqueHandle.h"
#include "common/WorkerThread.h"
#include "core/IOOPManager.h"
#include "gamewindow/FullScreenDetector.h"
#include "gamewindow/GameWindowEvents.h"
#include "gamewindow/WindowManager.h"
#include "input/InputBlockerProxy.h"
#include "input/OOPHooksManager.h"
#include "input/OverlayHost.h"
#include "common/ProcessWatchDog.h"
#include "qm/OverlayWindowContract.h"
#include "core/CursorCache.h"
#include "core/FramePacer.h"
#include "core/FrameStatistics.h"
#include "core/OverlayWindow.h"
#include "core/Renderer.h"

// Exit codes of Init's steps.
enum InitResult : int {
    kInitOk = 0,
    kInitCommandLine = -999,
    kInitWindow = -998,
    kInitD3D = -997,
    kInitHooksStart = -996,
    kInitHooks = -995,
};

// The exit code when the window's thread has not come back from a call for kPassLimitMs: the host
// ends rather than leave a frozen overlay over the game (the system's "possible deadlock" status).
constexpr int kExitHung = static_cast<int>(0xC0000194);

// The overlay manager: Init, the main loop and Shutdown shared by every manager type. Its parts (the
// renderer, the input side, the game-window side, the client watchdog) reach it through their own
// interfaces.
class OOPManager : public IOOPManager,
                   public base::process::ProcessWatchDog::Delegate,
                   public OverlayHost,
                   public WindowManager::Owner,
                   public RenderHost,
                   public OverlayWindow::Owner {
public:
    // `type` and its frame rate; a manager without a renderer (the plug-in hosts) draws nothing.
    OOPManager(ManagerType type, uint32_t targetFrameRate);
    virtual ~OOPManager();
    OOPManager(const OOPManager&) = delete;
    OOPManager& operator=(const OOPManager&) = delete;

    int Run(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) override;
    // The main loop and the stop, once the manager has started; Run's second half.
    int RunStarted(FlushLogger* logger);

    // How a program drives the manager in its own process (tests, benchmarks): over the game of
    // `gamePid`, with `controller` in place of a client library.
    struct InProcessSetup {
        uint32_t gamePid = 0;
        bool uwp = false;
        qm::IOverlayManagerController* controller = nullptr;
        bool hooksThread = false;  // with a controller: the low-level hooks as well
        bool worker = true;
        bool fullScreenStateKnown = false;  // placement then does not wait for the worker's answer
    };
    // The game window's handler, the worker, the overlay window and what the setup asks for; the
    // configuration is read as Init reads it. False when the window or the hooks cannot be made.
    bool AttachInProcess(HINSTANCE instance, const InProcessSetup& setup);
    uint32_t RendererKind() override;
    int GetManagerType() override { return type_; }
    void SetRenderer(std::unique_ptr<Renderer> renderer) { renderer_ = std::move(renderer); }
    Renderer* GetRenderer() const { return renderer_.get(); }

    // The renderer's steps, as the manager takes them; without a renderer each succeeds.
    bool InitD3D();
    void ShutdownD3D();
    // `again`: even to the size the back buffer has (after a full-screen change).
    bool ResetD3D(uint32_t width, uint32_t height, bool again = false);
    bool Render();
    bool IsAdapterChanged() { return renderer_ && renderer_->AdapterChanged(); }

    virtual int Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd);
    virtual void Shutdown();
    virtual uint32_t GetWindowExStyle() { return qm::overlay::kManagerExStyle; }
    virtual bool ShouldRenderFrame();
    virtual bool Update();
    // The update step after the frame gate; without `render` it only follows the game.
    bool Step(bool render);
    uint32_t GetTargetFrameRate() const { return pacer_.TargetRate(); }

    void ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t exitCode) override;

    bool ProcessCommandLine(const CommandLineArgs* cmd);
    // The logger's file-name suffix is "_" + game process name + "_" + game process id.
    static void StartLogging(FlushLogger* logger, const CommandLineArgs* cmd);
    // The first steps of the plug-in managers' Init: logging when "EnableOOPGLog" asks for it, and
    // the command line. 0, or -999 after logging "fail to process command line" under `function`.
    int InitPluginHost(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd, const wchar_t* function);

    uint32_t GamePid() const override { return gamePid_; }
    uint32_t ClientPid() const { return clientPid_; }
    const std::wstring& GameProcessName() const override { return gameProcessName_; }
    Common::Utils::WorkerThread* Worker() const { return worker_.get(); }
    base::process::ProcessWatchDog* ClientWatchDog() const { return watchdog_.get(); }
    uint32_t BackgroundColor() const override { return backgroundColor_; }
    OOPHooksManager& HooksManager() { return hooksManager_; }
    WindowManager& Windows() override { return windowManager_; }
    FullScreenDetector* Detector() const { return fullScreenDetector_.get(); }

    // What the controller's callbacks and the hooks need to know of the overlay and the game.
    HWND OverlayWindow() const override { return overlayWindow_; }
    bool IsGameFullScreen() override { return windowManager_.IsFullScreen(); }
    bool FullScreenRenderingOff() const override { return fullScreenRenderingOff_; }
    bool FirstFrameRendered() const { return renderer_ && renderer_->FirstFrameRendered(); }
    bool Minimized() const override { return minimized_; }
    RECT GameRect() const override { return gameRect_; }
    uint32_t BackBufferWidth() const { return backBufferWidth_; }
    uint32_t BackBufferHeight() const { return backBufferHeight_; }
    bool NeedsReset() const { return needsReset_; }
    bool AdapterCheckPending() const { return adapterCheckPending_; }
    void SetAdapterCheckPending() override { adapterCheckPending_ = true; }
    void GameWindowFound(HWND window) override;
    bool TakesForegroundOnCancel() const override;
    HWND BlockerWindow() const override { return inputProxy_.BlockerWindow(); }

    // What the renderer asks.
    HMONITOR GameMonitor() override { return windowManager_.Monitor(); }
    bool GameClientSize(uint32_t* width, uint32_t* height) override;
    qm::IOverlayManagerController* Controller() override { return hooksManager_.Controller(); }
    const CursorImage* CursorToDraw(bool* changed) override;
    FramePacer& Pacer() override { return pacer_; }
    void DeviceRecreated() override { statistics_.DeviceRecreated(); }
    InputBlockerProxy& InputProxy() override { return inputProxy_; }

    // From any thread: the window's thread applies the latest kind asked for.
    void SelectCursor(int32_t type, HCURSOR cursor) override;

    bool ClickThrough() const override { return clickThrough_; }
    void SetClickThroughFlag(bool clickThrough) override { clickThrough_ = clickThrough; }
    bool StopRequested() const { return stopRequested_; }
    void RequestStop() override {
        stopRequested_ = true;
        if (stopEvent_) ::SetEvent(stopEvent_.Get());
    }

    void RequestClickThrough(bool clickThrough) override;
    bool OnWindowThread() const override { return windowThreadId_ != 0 && ::GetCurrentThreadId() == windowThreadId_; }

    // The main loop runs the update step again no earlier than `microseconds` from now (messages
    // are answered meanwhile).
    void DelayNextPass(int64_t microseconds) override { pacer_.DelayNextPass(base::NowMicroseconds(), microseconds); }
    int64_t NextPassDue() const { return pacer_.NextPassDue(); }
    // One frame at the target rate.
    int64_t FrameIntervalMicroseconds() const { return pacer_.TargetIntervalUs(); }
    const FramePacer& Pacer() const { return pacer_; }
    // Between frames: when the game's window moved, changed size or was minimised or restored
    // since the last look, the overlay follows at once, without rendering. True when it followed.
    bool FollowGameNow();
    // What the system reports of the game's window to the main loop (GameWindowEvents::Deliver).
    GameWindowEvents& GameEvents() { return gameEvents_; }

    // The overlay window.
    bool InitWindow(HINSTANCE instance);
    // The overlay window's messages.
    LRESULT OnOverlayMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool WaitRestore();
    bool UpdateWindowState();
    // Shows or hides the overlay as the game's window and state ask; true when it changed.
    bool SyncOverlayShown(HWND game);
    bool VerifyAdapterUpdated(uint32_t width, uint32_t height);
    bool ResizeDevice(uint32_t width, uint32_t height, bool again = false);
    // The game as placement needs it, from what the pass has read.
    OverlayWindow::Game GameForPlacement();
    void PlaceOverlay(bool force);
    bool MoveOverlay(int x, int y, int width, int height);
    HWND FindInsertAfter();
    bool SetClickThrough(bool clickThrough, bool force);

    // Reactions and the worker's tasks.
    void ChooseGameWindowHandler(const CommandLineArgs* cmd);
    void HandleFullScreenModeChanged() override;
    void HandleExclusiveModeChanged(bool exclusive) override;
    // On the window thread, after a full-screen change: exclusive mode's rules for the new state.
    void ApplyExclusiveInputMode();
    void ApplyExclusiveStyle(bool again) override;
    bool AssureFullScreenStateUpdated();
    void ForceForeground(HWND window, bool flag) override;
    // At most one check queued, and at most one a second unless `now` asks for it regardless.
    void PostFullScreenCheck(bool now = false);
    // Stops the worker and the client watchdog; bounded, answering what other threads send meanwhile.
    void StopBackgroundThreads();
    // What Init started, stopped in order (input unblocked, injection, hooks thread, worker,
    // watchdog, controller): the first part of Shutdown, and all that a failed start undoes.
    void UndoFailedStart();

    // How long one pass of the main loop or one window message may take before the host counts as hung.
    static constexpr uint32_t kPassLimitMs = 10000;
    // How often the Direct3D 11 host logs its frame statistics while it renders (and once at its stop).
    static constexpr int64_t kStatisticsPeriodUs = 60000000;

protected:
    void RunForceForeground(HWND window, bool flag);
    // On the worker: the game is asked to answer before the window's thread forces the foreground,
    // which attaches to the game's input and would wait for a hung game.
    void ForceForegroundOnceTheGameAnswers();
    // On the window's thread: the cursor kind and pictures asked for since the last look.
    void ApplyCursorRequests();
    // The host's own messages to its window, beyond the ones the input side posts.
    static constexpr UINT kMsgForceForeground = WM_USER + 14;
    // lParam of a posted kMsgExclusiveChanged: the value is the latest one, not wParam.
    static constexpr LPARAM kLatestValue = 0x514D;
    // The hang watch's reaction, on its own thread: a stuck exit goes on, a stuck pass ends the host.
    static void OnHang(void* self, const wchar_t* what, uint32_t limitMs);
    // The exit code from now on, and that the exit has begun.
    void BeginExit(int exitCode);
    // The statistics row when its period is over, or now when `now` asks for it.
    void LogStatistics(int64_t nowUs, bool now);
    // The main loop's wait when no message is waiting and the next pass is not due; false when it
    // only ran out (no message came).
    bool WaitForNextPass(int64_t now);
    void LookForTheClientsEnd(int64_t now);
    void ClientEnded();
    // Nothing a placement depends on changed since the last pass that looked (the game's rectangle,
    // the foreground, the overlay's neighbours, the full-screen and exclusive states): the pass
    // only renders. Now and then a pass looks regardless, for what the system does not report.
    bool NothingChanged(int64_t nowUs);
    // The pass's look at the game and the overlay's placement: kPassOn, or what Step returns.
    static constexpr int kPassOn = -1;
    int LookAndPlace(int64_t passStartUs);
    bool OverlayMatchesGame(const RECT& rect);
    // The game's client area has no pixel to cover (a window collapsed to its frame): the overlay
    // is hidden rather than left at its last size.
    bool GameAreaEmpty() const {
        return !minimized_ && (gameRect_.right - gameRect_.left < 1 || gameRect_.bottom - gameRect_.top < 1);
    }

    const ManagerType type_;
    std::unique_ptr<Renderer> renderer_;
    HINSTANCE instance_ = nullptr;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> clickThrough_{true};
    std::atomic<bool> minimized_{true};
    std::atomic<bool> adapterCheckPending_{false};
    bool needsReset_ = false;
    bool needsResetLogged_ = false;
    uint32_t backBufferWidth_ = 0;
    uint32_t backBufferHeight_ = 0;
    uint32_t backgroundColor_ = 0;
    bool resetDone_ = false;
    bool gameShown_ = true;

    std::wstring gameProcessName_;
    uint32_t gamePid_ = 0;
    uint32_t clientPid_ = 0;
    ::OverlayWindow window_;
    HWND overlayWindow_ = nullptr;  // window_'s handle
    // The game window's client area in screen coordinates; left -32000 means minimised.
    RECT gameRect_{};
    bool fullScreenRenderingOff_ = false;
    CursorCache cursors_;
    base::CoalescedPost cursorPost_;
    // The kind the blocker was last told, and which blocker.
    int32_t blockerCursorType_ = -1;
    HWND blockerCursorWindow_ = nullptr;
    OOPHooksManager hooksManager_;
    InputBlockerProxy inputProxy_;
    WindowManager windowManager_;
    std::unique_ptr<FullScreenDetector> fullScreenDetector_;
    std::unique_ptr<base::process::ProcessWatchDog> watchdog_;
    std::unique_ptr<Common::Utils::WorkerThread> worker_;

    std::atomic<bool> fullScreenCheckQueued_{false};
    std::atomic<uint64_t> lastFullScreenCheckTick_{0};
    std::atomic<bool> requestedClickThrough_{true};
    base::CoalescedPost clickThroughPost_;
    base::CoalescedPost bringToForegroundPost_;
    base::CoalescedPost resizeDevicePost_;
    base::CoalescedPost inputModePost_;
    base::CoalescedPost exclusiveNoticePost_;
    std::atomic<bool> exclusiveNotice_{false};
    // The latest foreground forcing asked for, run once the game has answered.
    std::atomic<HWND> foregroundTarget_{nullptr};
    std::atomic<bool> foregroundCancelMode_{false};
    std::atomic<bool> foregroundProbeQueued_{false};
    base::CoalescedPost forceForegroundPost_;
    uint32_t windowThreadId_ = 0;
    FramePacer pacer_;
    // Where the system does not report the game's moves, the loop looks at its rectangle this often
    // while it is being moved and while it is still.
    static constexpr DWORD kFollowPollMs = 1;
    static constexpr DWORD kStillPollMs = 6;
    RECT lastGameWindowRect_{};
    int64_t lastGameMoveUs_ = 0;
    base::MessageWaiter waiter_;
    // The client's process, waited for by the main loop; the stop request's wake-up.
    base::UniqueHandle clientProcess_;
    int64_t clientLookedAtUs_ = 0;
    base::UniqueHandle stopEvent_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    GameWindowEvents gameEvents_;
    // Set wherever a placement's inputs may have changed unseen; the next pass looks.
    std::atomic<bool> lookAgain_{true};
    int64_t lastLookUs_ = 0;
    int64_t gameRectReadUs_ = 0;
    int64_t stackLookUs_ = 0;
    HWND overlayAbove_ = nullptr;
    HWND overlayBelow_ = nullptr;
    base::HangWatch hangWatch_;
    // Window tracking, touched by the overlay's window thread only.
    bool gameWindowSeen_ = false;
    bool previousSizeChanged_ = false;
    // The configuration's "no frame polling" byte, read at the first frame that asks.
    std::optional<bool> framePollingOff_;
    FrameStatistics statistics_;
    int64_t statisticsPeriodUs_ = kStatisticsPeriodUs;
    std::atomic<int> exitCode_{0};
    std::atomic<bool> exiting_{false};

};
